// The run's transcript: steps stamped with the machine's virtual time, and their details.
#pragma once

#include <cstdio>

#include "machine/machine.h"

namespace nrvsim {

class Transcript {
 public:
  Transcript(FILE* out, nrv::Machine& machine) : out_(out), machine_(machine) {}

  template <typename... Args>
  void step(const char* pattern, Args... args) {
    std::fprintf(out_, "[%6llu ms] ", static_cast<unsigned long long>(machine_.scheduler().nowMilliseconds()));
    std::fprintf(out_, pattern, args...);
    std::fputc('\n', out_);
  }

  template <typename... Args>
  void detail(const char* pattern, Args... args) {
    std::fputs("  ", out_);
    std::fprintf(out_, pattern, args...);
    std::fputc('\n', out_);
  }

 private:
  FILE* out_;
  nrv::Machine& machine_;
};

}  // namespace nrvsim
