// Spin locks and IRQL. Besides raising and restoring the IRQL, the machine
// learns the order in which locks are taken, as lockdep does, and stops on the
// first inversion instead of waiting for the deadlock it would one day cause.
#pragma once

#include <wdm.h>

namespace nrv {

// Forgets what was learned about locks inside [start, start + size), as memory
// holding them is freed.
void forgetSpinLocksIn(const void* start, size_t size);

}  // namespace nrv
