#include "user/process.h"

#include <dlfcn.h>
#include <link.h>

#include "base/bugcheck.h"
#include "base/machine_threads.h"
#include "base/module_imports.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/file_handle.h"
#include "user/module_resources.h"

namespace nrv {

namespace {

using DllEntry = BOOL(WINAPI*)(HINSTANCE instance, DWORD reason, LPVOID reserved);

// What DLL_PROCESS_DETACH's reserved argument is at process termination: not null.
LPVOID const kProcessTerminating = reinterpret_cast<LPVOID>(1);

// What the system DLLs export, and what the compiler may call on its own. On
// this machine kernel32's interlocked routines are the kernel's, under the
// same names.
const ImportRule& userModeImports() {
  static const ImportRule rule{libraryFileOf(reinterpret_cast<const void*>(&GetLastError)),
                               "user-mode",
                               {"memcpy", "memset", "memmove", "InterlockedIncrement", "InterlockedDecrement",
                                "InterlockedExchange", "InterlockedCompareExchange"}};
  return rule;
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Process::Process(std::string name, UserServices& services)
    : name_(std::move(name)),
      services_(services),
      heap_(services.faults),
      criticalSections_(services.scheduler),
      mappedViews_(std::make_unique<MappedViews>()) {}

Process::~Process() {
  if (!ended_ && !modules_.empty()) {
    bugCheck("PROCESS_NOT_ENDED", format("process '%s' was destroyed with modules still loaded", name_.c_str()));
  }
}

UserModule* Process::loadModule(const std::string& path, std::string* failure) {
  Process& self = currentProcess("LoadLibrary");
  if (&self != this) {
    bugCheck("INVALID_PARAMETER", format("a module of process '%s' was loaded from a thread of process '%s'",
                                         name_.c_str(), self.name_.c_str()));
  }
  std::string refused = userModeImportRefusal(path);
  if (!refused.empty()) {
    if (failure != nullptr) *failure = refused;
    return nullptr;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    if (failure != nullptr) *failure = dlerror();
    return nullptr;
  }
  std::shared_ptr<const ModuleResources> resources;
  std::string reason;
  if (!readModuleResources(path, &resources, &reason)) {
    if (failure != nullptr) *failure = reason;
    dlclose(library);
    return nullptr;
  }
  link_map* map = nullptr;
  dlinfo(library, RTLD_DI_LINKMAP, &map);
  auto module = std::make_unique<UserModule>();
  module->resources = std::move(resources);
  module->path = path;
  module->name = baseName(path);
  module->library = library;
  module->instance = reinterpret_cast<HINSTANCE>(map->l_addr);
  UserModule* loaded = module.get();
  {
    std::lock_guard<std::mutex> guard(lock_);
    modules_.push_back(std::move(module));
  }
  auto entry = reinterpret_cast<DllEntry>(dlsym(library, "DllEntryPoint"));
  if (entry != nullptr && !entry(loaded->instance, DLL_PROCESS_ATTACH, nullptr)) {
    if (failure != nullptr) *failure = "its DllEntryPoint refused DLL_PROCESS_ATTACH";
    std::lock_guard<std::mutex> guard(lock_);
    modules_.pop_back();
    dlclose(library);
    return nullptr;
  }
  return loaded;
}

UserModule* Process::moduleOf(HINSTANCE instance) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : modules_) {
    if (module->instance == instance) return module.get();
  }
  return nullptr;
}

void* Process::exportOf(const UserModule& module, const char* name) { return dlsym(module.library, name); }

void Process::unloadModule(UserModule& module) {
  std::unique_ptr<UserModule> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto entry = modules_.begin(); entry != modules_.end(); ++entry) {
      if (entry->get() == &module) {
        taken = std::move(*entry);
        modules_.erase(entry);
        break;
      }
    }
  }
  if (taken == nullptr) bugCheck("INVALID_PARAMETER", "FreeLibrary of a module this process has not loaded");
  detach(*taken, nullptr);
}

void Process::detach(UserModule& module, LPVOID reserved) {
  auto entry = reinterpret_cast<DllEntry>(dlsym(module.library, "DllEntryPoint"));
  if (entry != nullptr) entry(module.instance, DLL_PROCESS_DETACH, reserved);
  dlclose(module.library);
}

HANDLE Process::addHandle(std::unique_ptr<HandleObject> object, const void* caller) {
  std::string opener = describeCodeAddress(caller);
  std::lock_guard<std::mutex> guard(lock_);
  uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_[value] = OpenHandle{std::move(object), std::move(opener)};
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> Process::lookup(HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  return found == handles_.end() ? nullptr : found->second.object;
}

std::shared_ptr<HandleObject> Process::removeHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == handles_.end()) return nullptr;
  std::shared_ptr<HandleObject> object = std::move(found->second.object);
  handles_.erase(found);
  return object;
}

size_t Process::openHandles() {
  std::lock_guard<std::mutex> guard(lock_);
  return handles_.size();
}

void Process::startThread(std::string name, std::function<void()> body) {
  services_.threads.start(name_ + ": " + name, [this, body = std::move(body)] {
    ThreadRecord& thread = currentThread("a thread of a process");
    thread.process = this;
    body();
    criticalSections_.checkThreadEnd(thread);
  });
}

void Process::end() {
  {
    ProcessScope scope(*this);
    for (;;) {
      std::unique_ptr<UserModule> module;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (modules_.empty()) break;
        module = std::move(modules_.back());
        modules_.pop_back();
      }
      detach(*module, kProcessTerminating);
    }
  }
  ended_ = true;
  reportHandlesLeft();
  reportMemoryLeft();
}

void Process::reportHandlesLeft() {
  std::string left;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [value, handle] : handles_) {
      left += format("      handle 0x%lx (%s), opened by %s\n", static_cast<unsigned long>(value),
                     handle.object->kind(), handle.caller.c_str());
    }
  }
  left += mappedViews_->describe();
  if (!left.empty()) {
    bugCheck("PROCESS_HANDLES_NOT_CLOSED",
             format("process '%s' ended with %zu handle(s) open:\n", name_.c_str(), handles_.size()) + left);
  }
}

void Process::reportMemoryLeft() {
  std::vector<UserBlock> left = heap_.outstanding();
  if (!left.empty()) {
    bugCheck("PROCESS_MEMORY_NOT_FREED", format("process '%s' ended with %zu memory block(s) not freed:\n",
                                                name_.c_str(), left.size()) +
                                             UserHeap::describe(left));
  }
}

std::string userModeImportRefusal(const std::string& path) {
  return checkModuleImports(path, userModeImports());
}

Process& currentProcess(const char* routine) {
  ThreadRecord& thread = currentThread(routine);
  if (thread.process == nullptr) {
    bugCheck("NOT_A_PROCESS_THREAD",
             format("%s was called on thread '%s', which runs in no user-mode process", routine,
                    thread.name.c_str()));
  }
  return *thread.process;
}

ProcessScope::ProcessScope(Process& process)
    : thread_(currentThread("a process scope")), previous_(thread_.process) {
  thread_.process = &process;
}

ProcessScope::~ProcessScope() { thread_.process = previous_; }

}  // namespace nrv
