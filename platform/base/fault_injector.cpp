#include "base/fault_injector.h"

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

const char* faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Pool:
      return "pool allocation";
    case FaultKind::Irp:
      return "IRP allocation";
    case FaultKind::Mdl:
      return "MDL allocation";
    case FaultKind::UserAllocation:
      return "user-mode allocation";
    case FaultKind::RegistryOpen:
      return "registry key open";
    case FaultKind::Count:
      break;
  }
  return "?";
}

std::string tagText(ULONG tag) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) {
    char c = static_cast<char>((tag >> shift) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

void FaultInjector::failNth(FaultKind kind, uint64_t nth) {
  std::lock_guard<std::mutex> guard(lock_);
  failNth_[static_cast<int>(kind)] = nth;
}

void FaultInjector::failTag(ULONG tag) {
  std::lock_guard<std::mutex> guard(lock_);
  failTags_.insert(tag);
}

void FaultInjector::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& nth : failNth_) nth = 0;
  failTags_.clear();
}

bool FaultInjector::shouldFail(FaultKind kind, ULONG tag) {
  std::lock_guard<std::mutex> guard(lock_);
  int index = static_cast<int>(kind);
  uint64_t number = ++requests_[index];
  bool fail = number == failNth_[index] || (kind == FaultKind::Pool && failTags_.count(tag) != 0);
  if (fail) failures_++;
  return fail;
}

uint64_t FaultInjector::requests(FaultKind kind) const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_[static_cast<int>(kind)];
}

uint64_t FaultInjector::failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

std::string FaultInjector::describe() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (int index = 0; index < static_cast<int>(FaultKind::Count); index++) {
    if (failNth_[index] == 0) continue;
    if (!text.empty()) text += "; ";
    text += format("%s #%llu fails", faultKindName(static_cast<FaultKind>(index)),
                   static_cast<unsigned long long>(failNth_[index]));
  }
  for (ULONG tag : failTags_) {
    if (!text.empty()) text += "; ";
    text += "every allocation tagged '" + tagText(tag) + "' fails";
  }
  return text;
}

}  // namespace nrv
