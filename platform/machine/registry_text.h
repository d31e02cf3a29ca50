// The registry as text, for a machine kept in a folder. One key a line in
// brackets, then its values, one a line:
//
//   [\Registry\Machine\System\CurrentControlSet\Services\NRVUSB]
//   "ImagePath" = expand_sz "System32\DRIVERS\NRVUSB.SYS"
//   "Type" = dword 0x00000001
//   "Blob" = hex(3) 01 ff 00
//
// Names and strings are UTF-8; '%', '"', control characters and halves of
// surrogate pairs are written %XXXX (the UTF-16 unit in hexadecimal). A value
// whose bytes are not exactly what its readable form stands for (an odd
// length, a missing or extra NUL) is written in hexadecimal with its type's
// number, so reading the text back gives every byte as it was.
#pragma once

#include <string>
#include <vector>

#include "machine/machine_state.h"

namespace nrv {

std::string registryText(const std::vector<RegistryKeyState>& keys);
// False with the line's number and what is wrong when the text is damaged.
bool parseRegistryText(const std::string& text, std::vector<RegistryKeyState>* keys, int* line,
                       std::string* error);

// The same escapes for the byte strings of a machine's manifest: '%', '"' and
// control bytes as %XX.
std::string quotedBytes(const std::string& text);
// Reads a quoted string at `at` (moved past it); false when there is none.
bool readQuotedBytes(const std::string& line, size_t* at, std::string* text);

}  // namespace nrv
