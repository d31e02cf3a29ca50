// The dynamic symbols of a host module, as the loader sees them.
#pragma once

#include <set>
#include <string>

namespace nrvtest {

// Names of the symbols `nm -D <options>` lists for the file, without the C
// library's version suffix. Weak references (the C runtime's optional hooks)
// and the sanitizers' own runtime are left out: they are not imports.
std::set<std::string> dynamicSymbols(const std::string& options, const std::string& file);

}  // namespace nrvtest
