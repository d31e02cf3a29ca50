// The OVERLAPPED records of a process's requests that are still running. The
// system writes the result into the record when the request ends, so the
// record may neither start a second request nor be freed until then.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace nrv {

class OverlappedInUse {
 public:
  // A record already in use stops the machine, naming both requests.
  void claim(const void* overlapped, const char* service, const void* caller);
  void release(const void* overlapped);
  // The first record in use within the bytes, or null.
  const void* within(const void* begin, size_t size) const;

 private:
  mutable std::mutex lock_;
  std::map<const void*, std::string> claims_;  // the call that sent the request
};

}  // namespace nrv
