#include "user/system_folder.h"

#include <algorithm>
#include <cctype>

namespace nrv {

namespace {

std::string upperCase(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

}  // namespace

void SystemFolder::add(const std::string& fileName, const std::string& hostPath) {
  std::lock_guard<std::mutex> guard(lock_);
  files_[upperCase(fileName)] = hostPath;
}

std::optional<std::string> SystemFolder::find(const std::string& fileName) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = files_.find(upperCase(fileName));
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

}  // namespace nrv
