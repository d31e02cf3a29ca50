// A user-mode process: the modules loaded into it, its handle table, and the
// threads that run its code. Every routine a program imports finds the
// process through its calling thread, as Windows finds it through the thread's
// environment block; the process holds what those routines work on.
//
// A process ends by unloading its modules (DLL_PROCESS_DETACH) and then
// stops the machine on any handle still open, naming the call that made it,
// as the verifier does for a driver's pool.
#pragma once

#include <windows.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "user/user_services.h"

namespace nrv {

class ModuleResources;
struct ThreadRecord;

// What a handle stands for; each kind of object derives its own.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // "an event", "a registry key": for reports.
  virtual const char* kind() const = 0;
};

// A DLL loaded into a process. Its instance handle is its load address, as on Windows.
struct UserModule {
  std::string path;
  std::string name;  // the file name, "NRVUSBMN.so"
  void* library = nullptr;
  HINSTANCE instance = nullptr;
  // What its image's resource section holds; null when it has none.
  std::shared_ptr<const ModuleResources> resources;
};

class Process {
 public:
  Process(std::string name, UserServices& services);
  // The process must have ended.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  const std::string& name() const { return name_; }
  UserServices& services() { return services_; }

  // Loads a DLL as LoadLibrary does: only its exports are visible, and its
  // DllEntryPoint is called with DLL_PROCESS_ATTACH and its instance handle
  // on the calling thread, which must be one of this process. Null, with the
  // loader's reason, when it cannot be loaded or its entry point refuses.
  UserModule* loadModule(const std::string& path, std::string* failure);
  UserModule* moduleOf(HINSTANCE instance);
  // GetProcAddress: an export by name, or null.
  void* exportOf(const UserModule& module, const char* name);

  // The handle table. Values are multiples of 4 from 0x40 up, never reused
  // while the process lives, so a stale handle is always told from a live one.
  HANDLE addHandle(std::unique_ptr<HandleObject> object, const void* caller);
  // The object behind a handle when it is of kind T; null for anything else.
  template <typename T>
  T* object(HANDLE handle) {
    return dynamic_cast<T*>(lookup(handle));
  }
  // Takes the handle's object out of the table; null for a handle that is not open.
  std::unique_ptr<HandleObject> removeHandle(HANDLE handle);
  size_t openHandles();

  // Runs body on a new machine thread of this process.
  void startThread(std::string name, std::function<void()> body);

  // Unloads the modules, last loaded first, and stops the machine on handles
  // left open. Called on one of the process's threads, or by the machine.
  void end();
  bool ended() const { return ended_; }

 private:
  struct OpenHandle {
    std::unique_ptr<HandleObject> object;
    std::string caller;  // named when opened: the module may be unloaded by the time of the report
  };

  HandleObject* lookup(HANDLE handle);

  std::string name_;
  UserServices& services_;
  std::mutex lock_;
  std::list<std::unique_ptr<UserModule>> modules_;
  std::map<uintptr_t, OpenHandle> handles_;
  uintptr_t nextHandle_ = 0x40;
  bool ended_ = false;
};

// The process of the calling thread; a thread of no process stops the machine,
// naming the routine.
Process& currentProcess(const char* routine);

// Makes the calling thread run as a thread of the process for the scope's
// lifetime, as tests and the machine do when they call into a program.
class ProcessScope {
 public:
  explicit ProcessScope(Process& process);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  ThreadRecord& thread_;
  Process* previous_;
};

}  // namespace nrv
