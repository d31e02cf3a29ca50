#include "user/file_system.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

struct FileSystem::Node {
  std::string name;  // as created
  bool folder = false;
  Node* parent = nullptr;
  std::map<std::string, std::shared_ptr<Node>> children;  // by upper-cased name
  std::vector<uint8_t> data;
  std::string hostModule;  // the host file that plays it as a module; empty for a plain file
  std::vector<FileOpenMode> opens;
  int inUse = 0;
  int mappings = 0;
  // Deleted while open with delete sharing: it goes with its last handle, and opens no more.
  bool deletePending = false;
};

namespace {

std::string key(const std::string& name) {
  std::string upper = name;
  for (char& character : upper)
    character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
  return upper;
}

bool validName(const std::string& name) {
  return !name.empty() && std::none_of(name.begin(), name.end(), [](char character) {
    auto byte = static_cast<unsigned char>(character);
    return byte < 0x20 || std::strchr("<>:\"|?*", character) != nullptr;
  });
}

}  // namespace

FileSystem::FileSystem(OsProfile profile) : root_(std::make_shared<Node>()) {
  root_->folder = true;
  root_->name = "C:";
  bool windows98 = profile == OsProfile::Windows98;
  windowsDirectory_ = windows98 ? "C:\\WINDOWS" : "C:\\WINNT";
  systemDirectory_ = windowsDirectory_ + (windows98 ? "\\SYSTEM" : "\\SYSTEM32");
  createFolder(systemDirectory_);
  if (!windows98) createFolder(systemDirectory_ + "\\DRIVERS");
  createFolder(windowsDirectory_ + "\\INF\\OTHER");
}

std::optional<std::vector<std::string>> FileSystem::split(const std::string& path, DWORD* error) const {
  bool drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  bool rooted = drive && path.size() >= 3 && (path[2] == '\\' || path[2] == '/');
  if (!rooted) {
    bugCheck("NOT_IMPLEMENTED",
             format("file path \"%s\": programs on this machine have no current directory; give a full path "
                    "such as C:\\WINNT\\FILE.TXT",
                    path.c_str()));
  }
  if ((path[0] | 0x20) != 'c') {
    *error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  // The ANSI routines take paths of fewer than MAX_PATH characters.
  if (path.size() >= MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return std::nullopt;
  }
  std::vector<std::string> names;
  std::string name;
  for (size_t at = 3; at <= path.size(); at++) {
    if (at == path.size() || path[at] == '\\' || path[at] == '/') {
      if (name == "..") {
        if (!names.empty()) names.pop_back();
      } else if (!name.empty() && name != ".") {
        if (!validName(name)) {
          *error = ERROR_INVALID_NAME;
          return std::nullopt;
        }
        names.push_back(name);
      }
      name.clear();
    } else {
      name += path[at];
    }
  }
  return names;
}

const FileSystem::Node* FileSystem::findLocked(const std::vector<std::string>& names) const {
  const Node* node = root_.get();
  for (const std::string& name : names) {
    if (!node->folder) return nullptr;
    auto child = node->children.find(key(name));
    if (child == node->children.end()) return nullptr;
    node = child->second.get();
  }
  return node;
}

FileSystem::Node* FileSystem::findLocked(const std::vector<std::string>& names) {
  return const_cast<Node*>(static_cast<const FileSystem*>(this)->findLocked(names));
}

FileSystem::Node* FileSystem::folderOf(const std::vector<std::string>& names, bool create) {
  Node* node = root_.get();
  for (size_t index = 0; index + 1 < names.size(); index++) {
    auto child = node->children.find(key(names[index]));
    if (child == node->children.end()) {
      if (!create) return nullptr;
      auto folder = std::make_shared<Node>();
      folder->name = names[index];
      folder->folder = true;
      folder->parent = node;
      child = node->children.emplace(key(names[index]), folder).first;
    }
    if (!child->second->folder) return nullptr;
    node = child->second.get();
  }
  return node;
}

// Each open must let the other do what it asks. A file in use as a loaded
// image or a running program is held as the loader holds it: read, and shared
// for reading only, so it cannot be written over while it runs.
bool FileSystem::sharingAllows(const Node& node, const FileOpenMode& mode) const {
  auto compatible = [&](const FileOpenMode& other) {
    bool newAllowed = (!mode.read || (other.share & FILE_SHARE_READ) != 0) &&
                      (!mode.write || (other.share & FILE_SHARE_WRITE) != 0) &&
                      (!mode.remove || (other.share & FILE_SHARE_DELETE) != 0);
    bool oldAllowed = (!other.read || (mode.share & FILE_SHARE_READ) != 0) &&
                      (!other.write || (mode.share & FILE_SHARE_WRITE) != 0) &&
                      (!other.remove || (mode.share & FILE_SHARE_DELETE) != 0);
    return newAllowed && oldAllowed;
  };
  static const FileOpenMode kImage{true, false, false, FILE_SHARE_READ};
  if (node.inUse > 0 && !compatible(kImage)) return false;
  return std::all_of(node.opens.begin(), node.opens.end(), compatible);
}

FileSystem::OpenFile FileSystem::open(const std::string& path, DWORD disposition, const FileOpenMode& mode,
                                      DWORD* error, bool* existed) {
  std::optional<std::vector<std::string>> names = split(path, error);
  if (!names) return nullptr;
  if (path.back() == '\\' || path.back() == '/') {
    *error = names->empty() ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(lock_);
  Node* folder = names->empty() ? nullptr : folderOf(*names, false);
  if (folder == nullptr) {
    *error = names->empty() ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  auto found = folder->children.find(key(names->back()));
  *existed = found != folder->children.end();
  if (*existed) {
    Node& node = *found->second;
    if (node.folder || node.deletePending) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (disposition == CREATE_NEW) {
      *error = ERROR_FILE_EXISTS;
      return nullptr;
    }
    if (!sharingAllows(node, mode)) {
      *error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
      if (node.mappings > 0) {
        *error = ERROR_USER_MAPPED_FILE;
        return nullptr;
      }
      node.data.clear();
      node.hostModule.clear();
    }
    node.opens.push_back(mode);
    return found->second;
  }
  if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  auto node = std::make_shared<Node>();
  node->name = names->back();
  node->parent = folder;
  node->opens.push_back(mode);
  folder->children.emplace(key(names->back()), node);
  return node;
}

void FileSystem::close(const OpenFile& file, const FileOpenMode& mode) {
  std::lock_guard<std::mutex> guard(lock_);
  auto same = [&](const FileOpenMode& open) {
    return open.read == mode.read && open.write == mode.write && open.remove == mode.remove &&
           open.share == mode.share;
  };
  auto found = std::find_if(file->opens.begin(), file->opens.end(), same);
  if (found != file->opens.end()) file->opens.erase(found);
  if (file->deletePending && file->opens.empty() && file->parent != nullptr) {
    file->parent->children.erase(key(file->name));
    file->parent = nullptr;
  }
}

size_t FileSystem::read(const OpenFile& file, uint64_t offset, uint8_t* buffer, size_t size) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (offset >= file->data.size()) return 0;
  size_t count = std::min<uint64_t>(size, file->data.size() - offset);
  std::memcpy(buffer, file->data.data() + offset, count);
  return count;
}

void FileSystem::write(const OpenFile& file, uint64_t offset, const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  if (size == 0) return;
  file->hostModule.clear();
  if (file->data.size() < offset + size) file->data.resize(offset + size, 0);
  std::memcpy(file->data.data() + offset, data, size);
}

uint64_t FileSystem::size(const OpenFile& file) const {
  std::lock_guard<std::mutex> guard(lock_);
  return file->data.size();
}

void FileSystem::resize(const OpenFile& file, uint64_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  if (size != file->data.size()) file->hostModule.clear();
  file->data.resize(size, 0);
}

void FileSystem::addMapping(const OpenFile& file, int change) {
  std::lock_guard<std::mutex> guard(lock_);
  file->mappings += change;
}

bool FileSystem::mapped(const OpenFile& file) const {
  std::lock_guard<std::mutex> guard(lock_);
  return file->mappings > 0;
}

bool FileSystem::removeLocked(const std::vector<std::string>& names, DWORD* error) {
  Node* node = names.empty() ? nullptr : findLocked(names);
  if (node == nullptr || node->deletePending) {
    *error = folderOf(names, false) == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    return false;
  }
  if (node->folder || node->inUse > 0) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  if (!sharingAllows(
          *node, FileOpenMode{false, false, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE})) {
    *error = ERROR_SHARING_VIOLATION;
    return false;
  }
  if (!node->opens.empty()) {
    node->deletePending = true;
    return true;
  }
  node->parent->children.erase(key(node->name));
  return true;
}

bool FileSystem::remove(const std::string& path, DWORD* error) {
  std::optional<std::vector<std::string>> names = split(path, error);
  if (!names) return false;
  std::lock_guard<std::mutex> guard(lock_);
  return removeLocked(*names, error);
}

bool FileSystem::move(const std::string& from, const std::string& to, bool replace, DWORD* error) {
  std::optional<std::vector<std::string>> source = split(from, error);
  if (!source) return false;
  std::optional<std::vector<std::string>> target = split(to, error);
  if (!target) return false;
  std::lock_guard<std::mutex> guard(lock_);
  Node* node = source->empty() ? nullptr : findLocked(*source);
  if (node == nullptr || node->folder || node->deletePending) {
    *error = node == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return false;
  }
  // A rename asks for delete access to the file.
  if (!sharingAllows(
          *node, FileOpenMode{false, false, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE})) {
    *error = ERROR_SHARING_VIOLATION;
    return false;
  }
  Node* folder = target->empty() ? nullptr : folderOf(*target, false);
  if (folder == nullptr) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  Node* existing = findLocked(*target);
  if (existing == node) {
    node->name = target->back();  // a change of case only
    return true;
  }
  if (existing != nullptr) {
    if (!replace) {
      *error = ERROR_ALREADY_EXISTS;
      return false;
    }
    // A file that is open or in use is not replaced.
    if (existing->folder || existing->inUse > 0 || !existing->opens.empty() || existing->deletePending) {
      *error = ERROR_ACCESS_DENIED;
      return false;
    }
    folder->children.erase(key(target->back()));
  }
  std::shared_ptr<Node> moved = node->parent->children.at(key(node->name));
  node->parent->children.erase(key(node->name));
  moved->name = target->back();
  moved->parent = folder;
  folder->children[key(moved->name)] = moved;
  return true;
}

void FileSystem::markInUse(const std::string& path, int change) {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  Node* node = names ? findLocked(*names) : nullptr;
  if (node == nullptr || node->folder) {
    bugCheck("INVALID_PARAMETER",
             format("file \"%s\" was marked in use, but there is no such file", path.c_str()));
  }
  node->inUse += change;
}

void FileSystem::putFile(const std::string& path, std::vector<uint8_t> data) {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  Node* folder = names && !names->empty() ? folderOf(*names, true) : nullptr;
  if (folder == nullptr) bugCheck("INVALID_PARAMETER", format("\"%s\" cannot be a file", path.c_str()));
  std::shared_ptr<Node>& node = folder->children[key(names->back())];
  if (node == nullptr) {
    node = std::make_shared<Node>();
    node->name = names->back();
    node->parent = folder;
  }
  node->data = std::move(data);
  node->hostModule.clear();
}

bool FileSystem::putModuleFile(const std::string& path, const std::string& hostModule) {
  std::ifstream host(hostModule, std::ios::binary);
  if (!host) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(host)), std::istreambuf_iterator<char>());
  if (host.bad()) return false;
  putFile(path, std::move(bytes));
  setHostModule(path, hostModule);
  return true;
}

void FileSystem::setHostModule(const std::string& path, const std::string& hostModule) {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  Node* node = names ? findLocked(*names) : nullptr;
  if (node == nullptr || node->folder)
    bugCheck("INVALID_PARAMETER", format("\"%s\" is no file a module can play", path.c_str()));
  node->hostModule = hostModule;
}

std::optional<std::string> FileSystem::hostModule(const std::string& path) const {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  const Node* node = names ? findLocked(*names) : nullptr;
  if (node == nullptr || node->folder || node->deletePending || node->hostModule.empty()) return std::nullopt;
  return node->hostModule;
}

std::optional<std::vector<uint8_t>> FileSystem::fileBytes(const std::string& path) const {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  const Node* node = names ? findLocked(*names) : nullptr;
  if (node == nullptr || node->folder || node->deletePending) return std::nullopt;
  return node->data;
}

bool FileSystem::isFile(const std::string& path) const { return fileBytes(path).has_value(); }

bool FileSystem::isFolder(const std::string& path) const {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  std::lock_guard<std::mutex> guard(lock_);
  const Node* node = names ? findLocked(*names) : nullptr;
  return node != nullptr && node->folder;
}

void FileSystem::createFolder(const std::string& path) {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(path, &error);
  if (!names) bugCheck("INVALID_PARAMETER", format("\"%s\" cannot be a folder", path.c_str()));
  names->push_back("*");  // folderOf makes every folder before the last name
  std::lock_guard<std::mutex> guard(lock_);
  if (folderOf(*names, true) == nullptr)
    bugCheck("INVALID_PARAMETER", format("\"%s\" cannot be a folder: a file is in the way", path.c_str()));
}

std::vector<FileSystem::Entry> FileSystem::list(const std::string& folder) const {
  DWORD error = 0;
  std::optional<std::vector<std::string>> names = split(folder, &error);
  std::lock_guard<std::mutex> guard(lock_);
  const Node* node = names ? findLocked(*names) : nullptr;
  std::vector<Entry> entries;
  if (node == nullptr || !node->folder) return entries;
  std::string prefix = "C:";
  for (const Node* up = node; up != root_.get(); up = up->parent) prefix.insert(2, "\\" + up->name);
  listLocked(*node, prefix, &entries);
  return entries;
}

void FileSystem::listLocked(const Node& folder, const std::string& prefix,
                            std::vector<Entry>* entries) const {
  for (const auto& [name, child] : folder.children) {
    if (child->deletePending) continue;
    std::string path = prefix + "\\" + child->name;
    entries->push_back(Entry{path, child->folder, child->data.size(), child->hostModule});
    if (child->folder) listLocked(*child, path, entries);
  }
}

}  // namespace nrv
