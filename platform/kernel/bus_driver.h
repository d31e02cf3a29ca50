// The machine's bus driver: it owns the physical device object at the bottom
// of every stack a bus reports, made together with the device's node in the
// registry, and answers for each what a bus driver answers (bus_power.h for
// power). The USB bus takes over the answers of the devices it plugs.
#pragma once

#include <wdm.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/os_profile.h"
#include "kernel/bus_power.h"
#include "kernel/physical_device.h"

namespace nrv {

class DeviceInterfaces;
class DeviceObjects;
class Registry;

class BusDriver {
 public:
  // driver: the bus driver's own driver object, started with busDriverEntry.
  BusDriver(OsProfile profile, PDRIVER_OBJECT driver, DeviceObjects& devices, DeviceInterfaces& interfaces,
            Registry& registry);
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // A device the bus reports, with its instance path ("USB\VID_...\..."), the
  // description its device node shows and the hardware IDs the bus gives it
  // (none: the device ID its instance path starts with).
  PhysicalDevice& plug(const std::u16string& instancePath,
                       const std::u16string& description = u"USB Printing Support",
                       const std::vector<std::u16string>& hardwareIds = {});
  // The device left: its interfaces are disabled and its device object deleted.
  void remove(PhysicalDevice& device);
  void removeAll();

  BusPower& power() { return power_; }

 private:
  OsProfile profile_;
  PDRIVER_OBJECT driver_;
  DeviceObjects& devices_;
  DeviceInterfaces& interfaces_;
  Registry& registry_;
  BusPower power_;
  std::mutex lock_;
  std::list<std::unique_ptr<PhysicalDevice>> physicalDevices_;
};

// DriverEntry of the machine's bus driver.
NTSTATUS busDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace nrv
