// What the user-mode routines of a process reach on the machine: the parts of
// the kernel a Windows program reaches through system calls, and the system
// settings. The Machine hands one to every process it starts.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/os_profile.h"

namespace nrv {

class DeviceInterfaces;
class DeviceObjects;
class FaultInjector;
class FileSystem;
class IoEntry;
class MachineThreads;
class MessageBoxes;
class PnpManager;
class Registry;
class Scheduler;
class Spooler;
class SystemLocale;

struct UserServices {
  OsProfile profile;
  Scheduler& scheduler;
  MachineThreads& threads;
  FaultInjector& faults;
  SystemLocale& locale;
  Registry& registry;
  IoEntry& io;
  DeviceInterfaces& interfaces;
  DeviceObjects& devices;
  PnpManager& pnp;
  // The print spooler, which programs reach through winspool.
  Spooler& spooler;
  FileSystem& files;
  // The answers message boxes take, and the boxes shown.
  MessageBoxes& messageBoxes;
  // GetTickCount at the machine's start (virtual time 0); it wraps at 2^32 as on Windows.
  std::atomic<uint32_t> tickCountStart{0};
  // ExitWindowsEx asked for a restart; whoever runs the machine carries it out.
  std::atomic<bool> restartRequested{false};
  // What GetVersion returns instead of the profile's value; 0 for the profile's.
  std::atomic<uint32_t> reportedVersion{0};
};

}  // namespace nrv
