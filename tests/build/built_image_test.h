// A test suite over one image the cross build leaves, read once for the suite.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "pe_image.h"

namespace nrv::pe {

// Module names in an import table compare without regard to case.
inline std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

template <const char* Path>
class BuiltImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { image_ = PeImage::Load(Path, &load_error_); }
  static void TearDownTestSuite() { image_.reset(); }

  void SetUp() override { ASSERT_TRUE(image_) << Path << ": " << load_error_; }

  static const PeImage& image() { return *image_; }

  static VersionInfo Version() {
    std::string error;
    std::optional<VersionInfo> version = image_->Version(&error);
    EXPECT_TRUE(version) << error;
    return version.value_or(VersionInfo{});
  }

 private:
  static inline std::optional<PeImage> image_;
  static inline std::string load_error_;
};

}  // namespace nrv::pe
