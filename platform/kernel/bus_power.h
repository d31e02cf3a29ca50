// The bus driver's answers to power IRPs sent to its physical devices: every
// set-power and query-power is granted and the device state it sets is kept;
// a wait-wake is held until the device signals a wake or the IRP is cancelled.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <string>

namespace nrv {

class BusPower {
 public:
  BusPower() = default;
  BusPower(const BusPower&) = delete;
  BusPower& operator=(const BusPower&) = delete;

  // Answers a power IRP at the physical device; what it does not serve keeps the status it came with.
  NTSTATUS answer(PIRP irp);

  // The device's wake signal: completes the wait-wake IRP held for it. False
  // when none is held (or it is being cancelled).
  bool signalWake(PDEVICE_OBJECT pdo);
  bool waitWakePending(PDEVICE_OBJECT pdo);
  // The device state last set for a physical device; D0 until then.
  DEVICE_POWER_STATE devicePowerState(PDEVICE_OBJECT pdo);
  // The physical device is going away.
  void forgetDevice(PDEVICE_OBJECT pdo);
  // One line per wait-wake IRP still held, for the shutdown report.
  std::string describeHeld();

 private:
  static VOID cancelWaitWake(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS holdWaitWake(PIRP irp);
  void waitWakeCancelled(PDEVICE_OBJECT pdo, PIRP irp);

  std::mutex lock_;
  std::map<PDEVICE_OBJECT, PIRP> waitWakes_;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> deviceStates_;
};

}  // namespace nrv
