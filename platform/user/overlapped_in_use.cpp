#include "user/overlapped_in_use.h"

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"

namespace nrv {

void OverlappedInUse::claim(const void* overlapped, const char* service, const void* caller) {
  std::string call = format("%s from %s", service, describeCodeAddress(caller).c_str());
  std::lock_guard<std::mutex> guard(lock_);
  auto [found, added] = claims_.emplace(overlapped, call);
  if (!added) {
    bugCheck("OVERLAPPED_IN_USE",
             format("%s was given OVERLAPPED %p, which still belongs to the running request "
                    "of %s",
                    call.c_str(), overlapped, found->second.c_str()));
  }
}

void OverlappedInUse::release(const void* overlapped) {
  std::lock_guard<std::mutex> guard(lock_);
  claims_.erase(overlapped);
}

const void* OverlappedInUse::within(const void* begin, size_t size) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = claims_.lower_bound(begin);
  if (found == claims_.end()) return nullptr;
  return static_cast<const char*>(found->first) < static_cast<const char*>(begin) + size ? found->first
                                                                                         : nullptr;
}

}  // namespace nrv
