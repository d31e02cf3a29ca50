#include "machine/bugcheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "machine/machine.h"

namespace nrv {

void bugCheck(const std::string& rule, const std::string& detail) {
  std::fprintf(stderr, "\n*** STOP: %s\n    %s\n", rule.c_str(), detail.c_str());
  if (Machine* machine = Machine::currentOrNull()) {
    std::string faults = machine->faults().describe();
    if (!faults.empty()) std::fprintf(stderr, "    fault injection: %s\n", faults.c_str());
    std::fprintf(stderr, "    virtual time: %llu ms\n",
                 static_cast<unsigned long long>(machine->scheduler().nowMilliseconds()));
  }
  std::fflush(stderr);
  std::abort();
}

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  va_end(args);
  return text;
}

}  // namespace nrv
