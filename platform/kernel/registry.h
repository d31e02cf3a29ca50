// The registry: one tree of keys and typed values, shared by kernel mode (Zw*,
// UTF-16) and user mode (Reg*A, ANSI), with the device and driver keys of each
// device node at the paths the OS profile uses.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/os_profile.h"

namespace nrv {

// Opening a device key takes pool on Windows; here it asks fault injection for
// pool under this tag, so a driver's path for a key that cannot be opened runs.
constexpr ULONG kRegistryKeyTag = 0x626B4D43;  // "CMkb"

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> bytes;  // exactly as written

  bool operator==(const RegistryValue&) const = default;
};

struct NamedRegistryValue {
  std::u16string name;  // as first written
  RegistryValue value;
};

// The bytes of a REG_SZ value: the text and its terminating NUL.
std::vector<uint8_t> registryStringBytes(std::u16string_view text);
// The bytes of a REG_MULTI_SZ value: each string with its NUL, then one more NUL.
std::vector<uint8_t> registryMultiStringBytes(const std::vector<std::u16string>& strings);
// The text of string bytes, up to the first NUL (all of it when there is none).
std::u16string registryStringText(const std::vector<uint8_t>& bytes);

// What the INF file that names a function driver gives a device node it
// installs: the node's setup class and the values of its driver key.
struct DriverInf {
  std::u16string infName;      // InfPath: "oem0.inf", as the INF folder holds it
  std::u16string className;    // Class: "NrvUSBPrinter"
  std::u16string classGuid;    // ClassGUID: "{...}", the class key's name on Windows 2000
  std::u16string description;  // DriverDesc
  std::u16string provider;     // ProviderName
};

// A key of the tree. Whoever holds a reference (an open handle) keeps the key
// alive after it is deleted; it then reads as deleted.
class RegistryKey;
using RegistryKeyRef = std::shared_ptr<RegistryKey>;

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // ---- Keys and values by path ------------------------------------------------
  // Paths are absolute kernel paths ("\Registry\Machine\System\..."). Key and value
  // names compare without regard to case and keep the case they were created with.
  // A malformed path (relative, or with an empty name in it) finds nothing and
  // creates nothing.

  // Creates the key and any missing parents; true when the key exists afterwards.
  bool createKey(std::u16string_view path);
  bool keyExists(std::u16string_view path) const;
  // Stores the bytes exactly as given, creating the key when needed.
  bool setValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes);
  // Stores the text with its terminating NUL, as setup tools do.
  bool setString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                 ULONG type = REG_SZ);
  bool setMultiString(std::u16string_view path, std::u16string_view name, const std::vector<std::u16string>& strings);
  bool setDword(std::u16string_view path, std::u16string_view name, uint32_t value);

  std::optional<RegistryValue> value(std::u16string_view path, std::u16string_view name) const;
  // The text of a REG_SZ or REG_EXPAND_SZ value, up to its first NUL.
  std::optional<std::u16string> stringValue(std::u16string_view path, std::u16string_view name) const;
  // A REG_DWORD value of exactly four bytes.
  std::optional<uint32_t> dwordValue(std::u16string_view path, std::u16string_view name) const;

  bool deleteValue(std::u16string_view path, std::u16string_view name);
  // Deletes a key that has no subkeys; false when it is missing or has subkeys.
  bool deleteKey(std::u16string_view path);
  // Deletes a key and everything below it.
  bool deleteTree(std::u16string_view path);

  // Names as created, in the order the registry enumerates them (by name, ignoring case).
  std::vector<std::u16string> subkeys(std::u16string_view path) const;
  // In the order they were first written.
  std::vector<NamedRegistryValue> values(std::u16string_view path) const;

  // ---- Keys whose security denies programs their deletion ------------------
  // Programs can then delete neither the key, nor a value in it, nor a tree
  // holding it; drivers and the machine itself still can.
  void denyProgramDeletion(std::u16string_view path);
  // Whether a program may not delete the key (with tree, the key and everything below it) or its values.
  bool programDeletionDenied(std::u16string_view path, bool tree) const;

  // ---- Open keys, for callers that hold handles (kernel Zw*, user-mode Reg*) ----
  // Null when the key does not exist and create is false, or the path is malformed.
  RegistryKeyRef openKey(std::u16string_view path, bool create);
  std::u16string keyPath(const RegistryKeyRef& key) const;
  bool isDeleted(const RegistryKeyRef& key) const;
  // Nothing for a missing value or a deleted key.
  std::optional<NamedRegistryValue> value(const RegistryKeyRef& key, std::u16string_view name) const;
  // False when the key has been deleted.
  bool setValue(const RegistryKeyRef& key, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes);

  // ---- Kernel handles to keys -------------------------------------------------
  // owner names the driver that was running ("NRVUSB"), empty for other callers.
  HANDLE openHandle(RegistryKeyRef key, ACCESS_MASK access, std::string owner, const void* caller);
  // Null for a handle that is not open.
  RegistryKeyRef keyOfHandle(HANDLE handle) const;
  // False for a handle that is not open (never opened, or closed already).
  bool closeHandle(HANDLE handle);
  // One line per handle still open, naming the key and who opened it; empty when none.
  std::string describeOpenHandles() const;

  // ---- Device nodes, at the paths of the OS profile ---------------------------
  // instancePath is what the bus reports: "USB\VID_0A5F&PID_0027\5&2D4F3F4&0&1".
  static std::u16string instanceKeyPath(OsProfile profile, std::u16string_view instancePath);
  // The key PLUGPLAY_REGKEY_DEVICE opens (on Windows 2000 it is created on first open).
  static std::u16string deviceKeyPath(OsProfile profile, std::u16string_view instancePath);
  // The key PLUGPLAY_REGKEY_DRIVER opens, named by the node's Driver value. A node
  // without one gets the next free index under its class key, as installing a
  // driver does, and that key is created.
  std::u16string driverKeyPath(OsProfile profile, std::u16string_view instancePath);
  // The key the node's Driver value names, as user mode finds it: nothing is
  // created, and a node without a driver has none.
  std::optional<std::u16string> installedDriverKeyPath(OsProfile profile, std::u16string_view instancePath) const;
  // The instance key of a device the bus reports, with what enumeration writes
  // there. Values already present (the device was seen before) are kept.
  void createDeviceNode(OsProfile profile, std::u16string_view instancePath, std::u16string_view deviceDescription);
  // Installs a driver from its INF on a device node that has none yet: the
  // node takes the INF's class, and its driver key, new under that class,
  // the INF's values and the node's hardware ID as MatchingDeviceId. A node
  // installed before (it has a Driver value) keeps its class and driver key:
  // false then.
  bool installDriver(OsProfile profile, std::u16string_view instancePath, const DriverInf& inf);
  // The hardware and compatible IDs a bus driver reported for a device node.
  void setDeviceIds(OsProfile profile, std::u16string_view instancePath, const std::vector<std::u16string>& hardwareIds,
                    const std::vector<std::u16string>& compatibleIds);
  // Every device node the profile's Enum key holds, as instance paths
  // (enumerator\device\instance, with the names' own case), in the registry's order.
  std::vector<std::u16string> deviceNodes(OsProfile profile) const;
  // Forgets a device node: its instance key with everything below it and the
  // driver key its Driver value names. False when it had no instance key.
  bool deleteDeviceNode(OsProfile profile, std::u16string_view instancePath);
  // Deletes the driver key the node's Driver value names, and that value.
  // False when the node has no driver key.
  bool deleteDriverKey(OsProfile profile, std::u16string_view instancePath);

 private:
  struct OpenHandle {
    RegistryKeyRef key;
    ACCESS_MASK access;
    std::string owner;
    std::string caller;  // named when opened: a driver's code may be unloaded by the time of the report
  };

  // Callers hold lock_.
  RegistryKeyRef walkLocked(const std::vector<std::u16string_view>& names, size_t count) const;
  RegistryKeyRef findLocked(std::u16string_view path) const;
  RegistryKeyRef createLocked(std::u16string_view path);
  bool deleteLocked(std::u16string_view path, bool tree);
  static void setValueLocked(RegistryKey& key, std::u16string_view name, ULONG type, std::vector<uint8_t> bytes);
  static const NamedRegistryValue* findValueLocked(const RegistryKey& key, std::u16string_view name);

  mutable std::mutex lock_;
  RegistryKeyRef root_;
  std::map<uintptr_t, OpenHandle> handles_;
  uintptr_t nextHandle_;
  std::set<std::u16string> deletionDenied_;  // upper-cased paths
};

}  // namespace nrv
