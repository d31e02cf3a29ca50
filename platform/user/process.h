// A user-mode process: the modules loaded into it, its handle table, its
// memory and critical sections, and the threads that run its code. Every
// routine a program imports finds the process through its calling thread, as
// Windows finds it through the thread's environment block; the process holds
// what those routines work on.
//
// A process ends by detaching its modules (DLL_PROCESS_DETACH, as at process
// termination) and then stops the machine on any handle still open or memory
// block not freed, naming the call that made it, as the verifier does for a
// driver's pool.
#pragma once

#include <windows.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "user/access_token.h"
#include "user/critical_sections.h"
#include "user/overlapped_in_use.h"
#include "user/user_heap.h"
#include "user/user_services.h"

namespace nrv {

class MappedViews;
class ModuleResources;
struct ThreadRecord;

// What a handle stands for; each kind of object derives its own.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  // "an event", "a registry key": for reports.
  virtual const char* kind() const = 0;
  // What closing its handle does (a file sends its cleanup); the object
  // itself lives on while a call still uses it.
  virtual void close() {}
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
  // FreeLibrary: DLL_PROCESS_DETACH with a null reserved argument, so the DLL
  // releases what it holds, then the module goes.
  void unloadModule(UserModule& module);
  // GetProcAddress: an export by name, or null.
  void* exportOf(const UserModule& module, const char* name);

  // The handle table. Values are multiples of 4 from 0x40 up, never reused
  // while the process lives, so a stale handle is always told from a live one.
  HANDLE addHandle(std::unique_ptr<HandleObject> object, const void* caller);
  // The object behind a handle when it is of kind T; null for anything else.
  template <typename T>
  T* object(HANDLE handle) {
    return dynamic_cast<T*>(lookup(handle).get());
  }
  // The same, kept alive for the caller even if another thread closes the handle.
  template <typename T>
  std::shared_ptr<T> reference(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(lookup(handle));
  }
  // Takes the handle's object out of the table; null for a handle that is not open.
  std::shared_ptr<HandleObject> removeHandle(HANDLE handle);
  size_t openHandles();

  // Runs body on a new machine thread of this process. A thread that ends
  // holding a critical section stops the machine.
  void startThread(std::string name, std::function<void()> body);

  // LocalAlloc and VirtualAlloc blocks, by the module that allocated them.
  UserHeap& heap() { return heap_; }
  CriticalSections& criticalSections() { return criticalSections_; }
  // OVERLAPPED records of requests still running.
  OverlappedInUse& overlappedInUse() { return overlappedInUse_; }
  // Views of file mappings, until unmapped.
  MappedViews& mappedViews() { return *mappedViews_; }
  // The token the process runs with; its token handles share it.
  const std::shared_ptr<AccessToken>& token() { return token_; }

  // Ends the process: the modules still loaded get DLL_PROCESS_DETACH with a
  // non-null reserved argument, as at process termination (a DLL need not
  // release anything then), last loaded first; handles left open and memory
  // not freed stop the machine. Called on one of the process's threads, or by
  // the machine.
  void end();
  bool ended() const { return ended_; }

 private:
  struct OpenHandle {
    std::shared_ptr<HandleObject> object;
    std::string caller;  // named when opened: the module may be unloaded by the time of the report
  };

  std::shared_ptr<HandleObject> lookup(HANDLE handle);
  void detach(UserModule& module, LPVOID reserved);
  void reportHandlesLeft();
  void reportMemoryLeft();

  std::string name_;
  UserServices& services_;
  std::mutex lock_;
  std::list<std::unique_ptr<UserModule>> modules_;
  std::map<uintptr_t, OpenHandle> handles_;
  uintptr_t nextHandle_ = 0x40;
  bool ended_ = false;
  UserHeap heap_;
  CriticalSections criticalSections_;
  OverlappedInUse overlappedInUse_;
  std::unique_ptr<MappedViews> mappedViews_;
  std::shared_ptr<AccessToken> token_ = std::make_shared<AccessToken>();
};

// Why a module may not be loaded into a process: an import that is no
// user-mode routine; empty when it imports only those.
std::string userModeImportRefusal(const std::string& path);

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
