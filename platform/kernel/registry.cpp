#include "kernel/registry.h"

#include <algorithm>
#include <cstring>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"

namespace nrv {

class RegistryKey {
 public:
  std::u16string path;  // from the root, each name as created
  // By upper-cased name, which is also the order the registry enumerates subkeys in.
  std::map<std::u16string, RegistryKeyRef> subkeys;
  std::vector<NamedRegistryValue> values;
  bool deleted = false;
};

namespace {

// Kernel handles are multiples of four; these are never reused, so a stale
// handle is always recognised.
constexpr uintptr_t kFirstHandle = 0x80000104;
constexpr uintptr_t kHandleStep = 4;

// Names compare as the registry compares them: upper-cased, here for ASCII and
// the Latin-1 letters, which is all the names this machine sees.
char16_t upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}

std::u16string upcase(std::u16string_view name) {
  std::u16string result(name);
  std::transform(result.begin(), result.end(), result.begin(), [](char16_t c) { return upcase(c); });
  return result;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return upcase(x) == upcase(y); });
}

// "\A\B\C" gives A, B, C; "\" gives nothing (the root). Relative paths and empty
// names are refused.
std::optional<std::vector<std::u16string_view>> splitPath(std::u16string_view path) {
  if (path.empty() || path.front() != u'\\') return std::nullopt;
  std::vector<std::u16string_view> names;
  if (path.size() == 1) return names;
  size_t start = 1;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (name.empty()) return std::nullopt;
    names.push_back(name);
    if (end == std::u16string_view::npos) return names;
    start = end + 1;
  }
}

void markDeleted(RegistryKey& key) {
  key.deleted = true;
  for (auto& [name, subkey] : key.subkeys) markDeleted(*subkey);
  key.subkeys.clear();
}

}  // namespace

std::vector<uint8_t> registryStringBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
  return bytes;
}

std::vector<uint8_t> registryMultiStringBytes(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> bytes;
  for (const std::u16string& text : strings) {
    std::vector<uint8_t> one = registryStringBytes(text);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  bytes.insert(bytes.end(), sizeof(char16_t), 0);
  return bytes;
}

std::u16string registryStringText(const std::vector<uint8_t>& bytes) {
  std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
  if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  text.resize(std::min(text.size(), text.find(u'\0')));
  return text;
}

Registry::Registry() : root_(std::make_shared<RegistryKey>()), nextHandle_(kFirstHandle) {
  root_->path = u"\\";
  createKey(u"\\Registry\\Machine");
  // The default user's profile, which HKEY_USERS\.DEFAULT and, with nobody logged on, HKEY_CURRENT_USER name.
  createKey(u"\\Registry\\User\\.DEFAULT");
}

Registry::~Registry() = default;

// ---------------------------------------------------------------- tree

RegistryKeyRef Registry::walkLocked(const std::vector<std::u16string_view>& names, size_t count) const {
  RegistryKeyRef key = root_;
  for (size_t index = 0; index < count && key != nullptr; index++) {
    auto found = key->subkeys.find(upcase(names[index]));
    key = found == key->subkeys.end() ? nullptr : found->second;
  }
  return key;
}

RegistryKeyRef Registry::findLocked(std::u16string_view path) const {
  std::optional<std::vector<std::u16string_view>> names = splitPath(path);
  return names ? walkLocked(*names, names->size()) : nullptr;
}

RegistryKeyRef Registry::createLocked(std::u16string_view path) {
  std::optional<std::vector<std::u16string_view>> names = splitPath(path);
  if (!names) return nullptr;
  RegistryKeyRef key = root_;
  for (std::u16string_view name : *names) {
    RegistryKeyRef& slot = key->subkeys[upcase(name)];
    if (slot == nullptr) {
      slot = std::make_shared<RegistryKey>();
      slot->path = (key == root_ ? u"" : key->path) + u"\\" + std::u16string(name);
    }
    key = slot;
  }
  return key;
}

bool Registry::deleteLocked(std::u16string_view path, bool tree) {
  std::optional<std::vector<std::u16string_view>> names = splitPath(path);
  if (!names || names->empty()) return false;
  RegistryKeyRef parent = walkLocked(*names, names->size() - 1);
  if (parent == nullptr) return false;
  auto found = parent->subkeys.find(upcase(names->back()));
  if (found == parent->subkeys.end()) return false;
  if (!tree && !found->second->subkeys.empty()) return false;
  markDeleted(*found->second);
  parent->subkeys.erase(found);
  return true;
}

const NamedRegistryValue* Registry::findValueLocked(const RegistryKey& key, std::u16string_view name) {
  for (const NamedRegistryValue& entry : key.values) {
    if (sameName(entry.name, name)) return &entry;
  }
  return nullptr;
}

void Registry::setValueLocked(RegistryKey& key, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes) {
  auto* existing = const_cast<NamedRegistryValue*>(findValueLocked(key, name));
  if (existing != nullptr) {
    existing->value = RegistryValue{type, std::move(bytes)};
  } else {
    key.values.push_back(NamedRegistryValue{std::u16string(name), RegistryValue{type, std::move(bytes)}});
  }
}

bool Registry::createKey(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(lock_);
  return createLocked(path) != nullptr;
}

bool Registry::keyExists(std::u16string_view path) const {
  std::lock_guard<std::mutex> guard(lock_);
  return findLocked(path) != nullptr;
}

bool Registry::setValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef key = createLocked(path);
  if (key == nullptr) return false;
  setValueLocked(*key, name, type, std::move(bytes));
  return true;
}

bool Registry::setString(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type) {
  return setValue(path, name, type, registryStringBytes(text));
}

bool Registry::setMultiString(std::u16string_view path, std::u16string_view name,
                              const std::vector<std::u16string>& strings) {
  return setValue(path, name, REG_MULTI_SZ, registryMultiStringBytes(strings));
}

bool Registry::setDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
  std::vector<uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return setValue(path, name, REG_DWORD, std::move(bytes));
}

std::optional<RegistryValue> Registry::value(std::u16string_view path, std::u16string_view name) const {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef key = findLocked(path);
  const NamedRegistryValue* found = key == nullptr ? nullptr : findValueLocked(*key, name);
  if (found == nullptr) return std::nullopt;
  return found->value;
}

std::optional<std::u16string> Registry::stringValue(std::u16string_view path, std::u16string_view name) const {
  std::optional<RegistryValue> found = value(path, name);
  if (!found || (found->type != REG_SZ && found->type != REG_EXPAND_SZ)) return std::nullopt;
  return registryStringText(found->bytes);
}

std::optional<uint32_t> Registry::dwordValue(std::u16string_view path, std::u16string_view name) const {
  std::optional<RegistryValue> found = value(path, name);
  if (!found || found->type != REG_DWORD || found->bytes.size() != sizeof(uint32_t)) return std::nullopt;
  uint32_t result;
  std::memcpy(&result, found->bytes.data(), sizeof(result));
  return result;
}

bool Registry::deleteValue(std::u16string_view path, std::u16string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef key = findLocked(path);
  if (key == nullptr) return false;
  auto found = std::find_if(key->values.begin(), key->values.end(),
                            [&](const NamedRegistryValue& entry) { return sameName(entry.name, name); });
  if (found == key->values.end()) return false;
  key->values.erase(found);
  return true;
}

void Registry::denyProgramDeletion(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(lock_);
  deletionDenied_.insert(upcase(path));
}

bool Registry::programDeletionDenied(std::u16string_view path, bool tree) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::u16string key = upcase(path);
  if (deletionDenied_.count(key) != 0) return true;
  if (!tree) return false;
  std::u16string below = key + u"\\";
  auto next = deletionDenied_.lower_bound(below);
  return next != deletionDenied_.end() && next->compare(0, below.size(), below) == 0;
}

bool Registry::deleteKey(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(lock_);
  return deleteLocked(path, false);
}

bool Registry::deleteTree(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(lock_);
  return deleteLocked(path, true);
}

std::vector<std::u16string> Registry::subkeys(std::u16string_view path) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::u16string> names;
  if (RegistryKeyRef key = findLocked(path)) {
    for (const auto& [folded, subkey] : key->subkeys) {
      names.push_back(subkey->path.substr(subkey->path.rfind(u'\\') + 1));
    }
  }
  return names;
}

std::vector<NamedRegistryValue> Registry::values(std::u16string_view path) const {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef key = findLocked(path);
  return key == nullptr ? std::vector<NamedRegistryValue>() : key->values;
}

// ---------------------------------------------------------------- open keys

RegistryKeyRef Registry::openKey(std::u16string_view path, bool create) {
  std::lock_guard<std::mutex> guard(lock_);
  return create ? createLocked(path) : findLocked(path);
}

std::u16string Registry::keyPath(const RegistryKeyRef& key) const {
  std::lock_guard<std::mutex> guard(lock_);
  return key->path;
}

bool Registry::isDeleted(const RegistryKeyRef& key) const {
  std::lock_guard<std::mutex> guard(lock_);
  return key->deleted;
}

std::optional<NamedRegistryValue> Registry::value(const RegistryKeyRef& key, std::u16string_view name) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return std::nullopt;
  const NamedRegistryValue* found = findValueLocked(*key, name);
  if (found == nullptr) return std::nullopt;
  return *found;
}

bool Registry::setValue(const RegistryKeyRef& key, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return false;
  setValueLocked(*key, name, type, std::move(bytes));
  return true;
}

// ---------------------------------------------------------------- kernel handles

HANDLE Registry::openHandle(RegistryKeyRef key, ACCESS_MASK access, std::string owner, const void* caller) {
  std::string openedFrom = describeCodeAddress(caller);
  std::lock_guard<std::mutex> guard(lock_);
  uintptr_t handle = nextHandle_;
  nextHandle_ += kHandleStep;
  handles_.emplace(handle, OpenHandle{std::move(key), access, std::move(owner), std::move(openedFrom)});
  return reinterpret_cast<HANDLE>(handle);
}

RegistryKeyRef Registry::keyOfHandle(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  return found == handles_.end() ? nullptr : found->second.key;
}

bool Registry::closeHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  return handles_.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

std::string Registry::describeOpenHandles() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (const auto& [handle, open] : handles_) {
    std::string by = open.owner.empty() ? std::string() : "by " + open.owner + " ";
    text += format("      handle 0x%llx to key %s%s (access 0x%08X), opened %sfrom %s\n",
                   static_cast<unsigned long long>(handle), toUtf8(open.key->path).c_str(),
                   open.key->deleted ? " (deleted)" : "", static_cast<unsigned>(open.access), by.c_str(),
                   open.caller.c_str());
  }
  return text;
}

}  // namespace nrv
