// Device interfaces: a class GUID registered on a physical device gives a
// symbolic link name, by which user mode and tests open the device's stack.
#pragma once

#include <wdm.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nrv {

struct InterfaceRecord {
  std::u16string linkName;
  PDEVICE_OBJECT physicalDevice;
  GUID interfaceClass;
  bool enabled = false;
};

class DeviceInterfaces {
 public:
  // Registers (or finds) the interface and returns its link name.
  std::u16string registerInterface(PDEVICE_OBJECT physicalDevice, const std::u16string& instancePath,
                                   const GUID& interfaceClass, const std::u16string& referenceString);
  NTSTATUS setState(const std::u16string& linkName, bool enable);
  // The enabled interface with that link name (case does not matter), or null.
  const InterfaceRecord* findEnabled(const std::u16string& linkName);
  // The link name of the enabled interface a path opens: the path is the link
  // name, or the link name, a backslash and a file name (case does not matter).
  std::optional<std::u16string> enabledLinkOf(const std::u16string& path);
  std::vector<InterfaceRecord> list(const GUID& interfaceClass);
  // A physical device goes away: its interfaces are disabled.
  void disableAll(PDEVICE_OBJECT physicalDevice);

 private:
  InterfaceRecord* find(const std::u16string& linkName);

  std::mutex lock_;
  std::vector<InterfaceRecord> records_;
};

std::u16string guidText(const GUID& guid);

}  // namespace nrv
