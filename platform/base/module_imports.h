// The import check of a host module, made before it is loaded, as the Windows
// loader resolves an image's imports against the system DLLs it names: a
// driver may import only what the kernel exports, a user-mode DLL only what
// the system DLLs export, so a mistake that would not load on Windows does
// not load here either.
#pragma once

#include <set>
#include <string>

namespace nrv {

struct ImportRule {
  // The library whose exports the module may import, and how the module is called.
  std::string provider;
  const char* moduleKind;
  // Routines the system exports besides: the C runtime routines it carries.
  std::set<std::string> alsoExported;
};

// Empty when every import of the module is allowed (or the file is no ELF
// module, which the loader then refuses itself); else the reason, naming the
// first import that is not.
std::string checkModuleImports(const std::string& modulePath, const ImportRule& rule);

// The file the library holding this routine was loaded from.
std::string libraryFileOf(const void* routine);

}  // namespace nrv
