// What of the package is on a machine: its files, registry keys and values,
// devices, ports, printer queues and monitor, and the file operations left
// for the next start that concern them. `leftovers` lists it, `uninstall`
// compares it before and after.
#pragma once

#include <string>
#include <vector>

#include "events.h"
#include "machine/machine.h"

namespace nrvsim {

std::vector<PackageItemFacts> packageFootprint(nrv::Machine& machine);

// The items of `before` that `after` no longer holds (the same kind and name).
std::vector<PackageItemFacts> itemsGone(const std::vector<PackageItemFacts>& before,
                                        const std::vector<PackageItemFacts>& after);

}  // namespace nrvsim
