// A test suite over one image the cross build leaves, read once for the suite.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
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

  // The modules the image imports from, lower-cased; each must be allowed and name functions.
  static std::set<std::string> ImportedModules(const std::set<std::string>& allowed) {
    std::string error;
    std::optional<std::vector<ImportedModule>> imports = image_->Imports(&error);
    EXPECT_TRUE(imports) << error;
    std::set<std::string> seen;
    for (const ImportedModule& module : imports.value_or(std::vector<ImportedModule>{})) {
      const std::string name = Lower(module.name);
      EXPECT_TRUE(allowed.count(name)) << "imports from " << module.name;
      EXPECT_FALSE(module.functions.empty()) << module.name;
      seen.insert(name);
    }
    return seen;
  }

 private:
  static inline std::optional<PeImage> image_;
  static inline std::string load_error_;
};

}  // namespace nrv::pe
