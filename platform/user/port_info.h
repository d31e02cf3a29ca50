// Ports as monitors and the spooler hand them over: PORT_INFO_1A or
// PORT_INFO_2A records one after the other from the start of a buffer, and
// their strings packed downward from its end, each record's in field order
// (so the port name of a record lies highest). A NULL string takes no room.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nrv {

struct PortRecord {
  std::string name;
  std::optional<std::string> monitor;  // level 2 only
  std::optional<std::string> description;
  DWORD type = 0;
};

// The bytes the records take at level 1 or 2.
DWORD portInfoSize(DWORD level, const std::vector<PortRecord>& ports);
// The buffer holds at least portInfoSize bytes.
void writePortInfo(DWORD level, const std::vector<PortRecord>& ports, LPBYTE buffer, DWORD size);
// The first `count` records written into a buffer of `size` bytes. False, with
// what is wrong, when they do not fit it or a string leaves it.
bool readPortInfo(DWORD level, const uint8_t* buffer, DWORD size, DWORD count, std::vector<PortRecord>* ports,
                  std::string* wrong);

}  // namespace nrv
