// The kernel of the machine that runs now. A driver calls the routines it
// imports (IoCallDriver, KeWaitForSingleObject, ExAllocatePoolWithTag, ...)
// without saying which machine it runs on, so those routines, and only they,
// look the kernel up here. Every part of the machine is handed the
// collaborators it needs when it is built and never looks here.
#pragma once

#include "base/os_profile.h"

namespace nrv {

class DeviceInterfaces;
class DeviceObjects;
class FaultInjector;
class IrpTracker;
class MdlTracker;
class PnpManager;
class PoolTracker;
class PowerManager;
class Registry;
class Scheduler;
class SpinLockOrder;
class WaitLog;

struct KernelParts {
  OsProfile profile;
  Scheduler& scheduler;
  FaultInjector& faults;
  PoolTracker& pool;
  SpinLockOrder& spinLockOrder;
  IrpTracker& irps;
  MdlTracker& mdls;
  DeviceObjects& devices;
  DeviceInterfaces& interfaces;
  Registry& registry;
  PnpManager& pnp;
  PowerManager& power;
  WaitLog& waits;
};

// Stops the machine when no machine runs.
KernelParts& currentKernel();
KernelParts* currentKernelOrNull();

// Makes a machine's kernel the current one for the machine's lifetime. A
// second machine in the same process while one runs stops it.
class CurrentKernel {
 public:
  explicit CurrentKernel(KernelParts& parts);
  ~CurrentKernel();
  CurrentKernel(const CurrentKernel&) = delete;
  CurrentKernel& operator=(const CurrentKernel&) = delete;
};

}  // namespace nrv
