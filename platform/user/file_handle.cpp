#include "user/file_handle.h"

#include <cstring>

#include "base/symbolizer.h"
#include "base/text.h"
#include "user/call_checks.h"

namespace nrv {

FileMapping::FileMapping(std::shared_ptr<FileHandle> file, uint64_t size, bool writable)
    : file_(std::move(file)), size_(size), writable_(writable) {
  file_->files().addMapping(file_->file(), 1);
}

FileMapping::~FileMapping() { file_->files().addMapping(file_->file(), -1); }

void* MappedViews::map(std::shared_ptr<FileMapping> mapping, const void* caller) {
  auto view = std::make_unique<View>();
  view->bytes.resize(mapping->size());
  FileHandle& file = mapping->file();
  file.files().read(file.file(), 0, view->bytes.data(), view->bytes.size());
  view->mapping = std::move(mapping);
  view->caller = describeCodeAddress(caller);
  void* address = view->bytes.data();
  std::lock_guard<std::mutex> guard(lock_);
  views_[address] = std::move(view);
  return address;
}

bool MappedViews::unmap(const void* address) {
  std::unique_ptr<View> view;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = views_.find(address);
    if (found == views_.end()) return false;
    view = std::move(found->second);
    views_.erase(found);
  }
  FileHandle& file = view->mapping->file();
  if (view->mapping->writable()) file.files().write(file.file(), 0, view->bytes.data(), view->bytes.size());
  return true;
}

std::string MappedViews::describe() {
  std::string left;
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [address, view] : views_) {
    left += format("      view %p of %s, mapped by %s\n", address, view->mapping->file().kind(),
                   view->caller.c_str());
  }
  return left;
}

BOOL fileTransfer(FileHandle& file, bool read, void* buffer, DWORD length, LPDWORD count) {
  if (read ? !file.mode().read : !file.mode().write) {
    setLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  uint64_t at = file.position.load();
  size_t moved = length;
  if (read) {
    moved = file.files().read(file.file(), at, static_cast<uint8_t*>(buffer), length);
  } else {
    file.files().write(file.file(), at, static_cast<const uint8_t*>(buffer), length);
  }
  file.position.store(at + moved);
  *count = static_cast<DWORD>(moved);
  setLastError(NO_ERROR);
  return TRUE;
}

}  // namespace nrv
