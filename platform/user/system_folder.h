// The machine's system folder, until the machine has a file system: the file
// names Windows would find there ("NRVUSBMN.DLL") and the host files that play
// them. Names compare without regard to case, as Windows file names do.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace nrv {

class SystemFolder {
 public:
  void add(const std::string& fileName, const std::string& hostPath);
  std::optional<std::string> find(const std::string& fileName) const;

 private:
  mutable std::mutex lock_;
  std::map<std::string, std::string> files_;  // by upper-cased name
};

}  // namespace nrv
