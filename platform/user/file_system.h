// The machine's file system: drive C: with the folders its profile has, files
// held in memory, and the rules Windows keeps for them. Names compare without
// regard to case and keep the case they were created with. Every open of a
// file is recorded with its access and sharing, so a second open that the
// first does not share, or a deletion of a file that is open without delete
// sharing, fails as on Windows; a file in use as a loaded image or a running
// program cannot be deleted at all. That is why setup programs schedule
// deletions for the next start.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/os_profile.h"

namespace nrv {

// How an open may use a file, and what it lets later opens do.
struct FileOpenMode {
  bool read = false;
  bool write = false;
  bool remove = false;  // DELETE access
  DWORD share = 0;      // FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
};

class FileSystem {
 public:
  struct Node;
  // An open of a file: keeps its record while the handle lives, even after the file is deleted.
  using OpenFile = std::shared_ptr<Node>;

  explicit FileSystem(OsProfile profile);
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // "C:\WINNT" or "C:\WINDOWS"; "C:\WINNT\SYSTEM32" or "C:\WINDOWS\SYSTEM".
  const std::string& windowsDirectory() const { return windowsDirectory_; }
  const std::string& systemDirectory() const { return systemDirectory_; }

  // Opens, creating as the disposition says; on failure returns null with the
  // Windows error. `existed` tells CREATE_ALWAYS and OPEN_ALWAYS which case they met.
  OpenFile open(const std::string& path, DWORD disposition, const FileOpenMode& mode, DWORD* error,
                bool* existed);
  void close(const OpenFile& file, const FileOpenMode& mode);

  // At most `size` bytes from `offset`; the count read.
  size_t read(const OpenFile& file, uint64_t offset, uint8_t* buffer, size_t size) const;
  // Writes at `offset`, growing the file (a gap reads as zeros).
  void write(const OpenFile& file, uint64_t offset, const uint8_t* data, size_t size);
  uint64_t size(const OpenFile& file) const;
  void resize(const OpenFile& file, uint64_t size);
  // Mappings of the file that are open; while there are, it cannot be cut shorter.
  void addMapping(const OpenFile& file, int change);
  bool mapped(const OpenFile& file) const;

  // DeleteFile and MoveFile, with Windows' errors; true when done.
  bool remove(const std::string& path, DWORD* error);
  bool move(const std::string& from, const std::string& to, bool replace, DWORD* error);

  // A file that is a loaded image or a running program: it cannot be deleted while in use.
  void markInUse(const std::string& path, int change);

  // For the machine and its tests: a file's bytes, creating its folders; a file's
  // bytes if it exists; whether a path names a file or a folder.
  void putFile(const std::string& path, std::vector<uint8_t> data);
  // A file that a host module plays when the machine loads it as a driver or
  // DLL: its bytes are the host file's. False when the host file cannot be read.
  bool putModuleFile(const std::string& path, const std::string& hostModule);
  // The host module that plays a file; none for a plain file, a missing one, or
  // one that was written since (its bytes are no longer the module's).
  std::optional<std::string> hostModule(const std::string& path) const;
  // Plays a file already there by a host module, keeping its bytes.
  void setHostModule(const std::string& path, const std::string& hostModule);
  std::optional<std::vector<uint8_t>> fileBytes(const std::string& path) const;
  bool isFile(const std::string& path) const;
  bool isFolder(const std::string& path) const;
  void createFolder(const std::string& path);
  // Every file and folder under a folder, as full paths in their own case, in name order.
  struct Entry {
    std::string path;
    bool folder = false;
    uint64_t size = 0;
    std::string hostModule;  // empty for a plain file
  };
  std::vector<Entry> list(const std::string& folder) const;

  // The folder names of a path, or none when it is no full path on drive C:
  // (with ERROR_INVALID_NAME for characters no file name may hold,
  // ERROR_PATH_NOT_FOUND for another drive, ERROR_FILENAME_EXCED_RANGE for a
  // path of MAX_PATH characters or more). A relative path stops the machine:
  // programs here have no current directory.
  std::optional<std::vector<std::string>> split(const std::string& path, DWORD* error) const;

 private:
  Node* folderOf(const std::vector<std::string>& names, bool create);
  const Node* findLocked(const std::vector<std::string>& names) const;
  Node* findLocked(const std::vector<std::string>& names);
  bool sharingAllows(const Node& node, const FileOpenMode& mode) const;
  bool removeLocked(const std::vector<std::string>& names, DWORD* error);
  void listLocked(const Node& folder, const std::string& prefix, std::vector<Entry>* entries) const;

  std::string windowsDirectory_;
  std::string systemDirectory_;
  mutable std::mutex lock_;
  std::shared_ptr<Node> root_;  // C:\ (guarded by lock_)
};

}  // namespace nrv
