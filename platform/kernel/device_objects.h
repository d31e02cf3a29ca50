// Device objects and their stacks: creation, attachment, references and deletion.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

class FaultInjector;
class PhysicalDevice;
class SpinLockOrder;

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;
  PDEVICE_OBJECT attachedTo = nullptr;  // the device directly below
  bool deleted = false;                 // deleted, memory kept for outstanding references
  PhysicalDevice* physical = nullptr;   // set for devices the machine's bus reports
  std::u16string deviceNode;            // instance path of an enumerated child's device node
};

// A driver's service name: "NRVUSB" for "\Driver\NRVUSB"; "?" for none.
std::string serviceNameOf(PDRIVER_OBJECT driver);

class DeviceObjects {
 public:
  DeviceObjects(FaultInjector& faults, SpinLockOrder& spinLockOrder);
  DeviceObjects(const DeviceObjects&) = delete;
  DeviceObjects& operator=(const DeviceObjects&) = delete;
  ~DeviceObjects();

  NTSTATUS create(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                  ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* created, bool injectFaults = true);
  void remove(PDEVICE_OBJECT device);
  PDEVICE_OBJECT attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
  void detach(PDEVICE_OBJECT target);
  void reference(PDEVICE_OBJECT device);
  void dereference(PDEVICE_OBJECT device);

  // The record of a live device; an unknown or deleted device stops the machine.
  DeviceRecord& lookup(PDEVICE_OBJECT device, const char* service);
  bool isDevice(const void* object);
  void markPhysical(PDEVICE_OBJECT device, PhysicalDevice* physical);
  void setDeviceNode(PDEVICE_OBJECT device, std::u16string instancePath);
  // The instance path of the device node whose physical device this is; empty for other devices.
  std::u16string instancePathOf(PDEVICE_OBJECT device, const char* service);
  // The highest device attached above this one.
  PDEVICE_OBJECT top(PDEVICE_OBJECT device);
  std::vector<PDEVICE_OBJECT> live();

 private:
  void release(PDEVICE_OBJECT device);

  FaultInjector& faults_;
  SpinLockOrder& spinLockOrder_;
  std::recursive_mutex lock_;
  std::map<PDEVICE_OBJECT, DeviceRecord> records_;
  unsigned nextNumber_ = 1;
};

}  // namespace nrv
