#include "user/call_checks.h"

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/process.h"

namespace nrv {

void requirePointer(const void* pointer, const char* service, const char* parameter, const void* caller) {
  if (pointer != nullptr) return;
  bugCheck("ACCESS_VIOLATION", format("%s from %s: %s is NULL, which Windows uses without a check", service,
                                      describeCodeAddress(caller).c_str(), parameter));
}

void checkBufferFits(Process& process, const void* buffer, size_t length, const char* service,
                     const void* caller) {
  if (buffer == nullptr || length == 0) return;
  std::optional<UserBlock> block = process.heap().containing(buffer);
  if (!block) return;
  size_t room = block->size - static_cast<size_t>(static_cast<const char*>(buffer) -
                                                  static_cast<const char*>(block->address));
  if (length <= room) return;
  bugCheck(
      "USER_BUFFER_OVERRUN",
      format("%s from %s: %zu bytes at %p run past the end of the %zu-byte block from %s by %s (%zu bytes "
             "left there)",
             service, describeCodeAddress(caller).c_str(), length, buffer, block->size,
             userBlockKindName(block->kind), block->allocatedBy.c_str(), room));
}

void setLastError(DWORD error) { currentThread("SetLastError").lastError = error; }

}  // namespace nrv
