#include "dynamic_symbols.h"

#include <cstdio>

namespace nrvtest {

namespace {

bool isSanitizerSymbol(const std::string& name) {
  return name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 || name.rfind("__tsan", 0) == 0;
}

}  // namespace

std::set<std::string> dynamicSymbols(const std::string& options, const std::string& file) {
  std::set<std::string> symbols;
  FILE* pipe = popen(("nm -D " + options + " '" + file + "'").c_str(), "r");
  if (pipe == nullptr) return symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    size_t end = text.find_last_not_of("\r\n");
    size_t start = text.find_last_of(' ', end);
    if (end == std::string::npos || start == std::string::npos) continue;
    std::string name = text.substr(start + 1, end - start);
    name = name.substr(0, name.find('@'));
    if (text.find(" w ") != std::string::npos || isSanitizerSymbol(name)) continue;
    symbols.insert(name);
  }
  pclose(pipe);
  return symbols;
}

}  // namespace nrvtest
