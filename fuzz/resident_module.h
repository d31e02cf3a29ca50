// Modules the machine loads and lets go with every input stay mapped for the
// whole run: the fuzzer keeps reading the coverage counters of a module, which
// must not go away under it. Reloading such a module does not run its static
// initialisers again, which is sound for our modules: their global state is
// set by their entry points and released when they are let go.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

inline void keepResident(const char* modulePath) {
  if (dlopen(modulePath, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", modulePath, dlerror());
    std::abort();
  }
}
