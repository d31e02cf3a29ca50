// What a program's handles on files stand for: an open file with its position,
// and a file mapping, whose views the process keeps until they are unmapped.
// A view is a copy of the mapped bytes that goes back into the file when it is
// unmapped: the file's bytes are not moved under a view in the meantime.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "user/file_system.h"
#include "user/process.h"

namespace nrv {

class FileHandle : public HandleObject {
 public:
  FileHandle(FileSystem& files, FileSystem::OpenFile file, FileOpenMode mode, const std::string& path)
      : files_(files), file_(std::move(file)), mode_(mode), kind_("a file, " + path) {}

  const char* kind() const override { return kind_.c_str(); }
  void close() override { files_.close(file_, mode_); }

  FileSystem& files() { return files_; }
  const FileSystem::OpenFile& file() const { return file_; }
  const FileOpenMode& mode() const { return mode_; }
  std::atomic<uint64_t> position{0};

 private:
  FileSystem& files_;
  FileSystem::OpenFile file_;
  FileOpenMode mode_;
  std::string kind_;
};

// A mapping stays while its handle or one of its views does; then the file may be cut again.
class FileMapping : public HandleObject {
 public:
  FileMapping(std::shared_ptr<FileHandle> file, uint64_t size, bool writable);
  ~FileMapping() override;

  const char* kind() const override { return "a file mapping"; }
  FileHandle& file() { return *file_; }
  uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

 private:
  std::shared_ptr<FileHandle> file_;
  uint64_t size_;
  bool writable_;
};

// The views a process has mapped, by address.
class MappedViews {
 public:
  void* map(std::shared_ptr<FileMapping> mapping, const void* caller);
  // Writes a writable view back into its file and lets it go; false for an address that is no view.
  bool unmap(const void* address);
  // "view 0x... of C:\...\FILE, mapped by ..." for each view still mapped.
  std::string describe();

 private:
  struct View {
    std::shared_ptr<FileMapping> mapping;
    std::vector<uint8_t> bytes;
    std::string caller;
  };
  std::mutex lock_;
  std::map<const void*, std::unique_ptr<View>> views_;
};

// ReadFile and WriteFile on a file: synchronous, from and then past the file's position.
BOOL fileTransfer(FileHandle& file, bool read, void* buffer, DWORD length, LPDWORD count);

// CreateFileA of a path that names no device.
HANDLE openFile(Process& process, const std::string& path, DWORD access, DWORD share, DWORD disposition,
                const void* caller);
// ReadFile or WriteFile on a handle that is a file's.
BOOL readOrWriteFile(Process& process, HANDLE handle, bool read, void* buffer, DWORD length, LPDWORD count,
                     LPOVERLAPPED overlapped, const char* service, const void* caller);

}  // namespace nrv
