#include "terminal_text.h"

#include <cstdio>

namespace nrvsim {

std::string withoutControlBytes(std::string_view text) {
  std::string shown;
  for (char character : text) {
    auto byte = static_cast<unsigned char>(character);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += character;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
    shown += escaped;
  }
  return shown;
}

}  // namespace nrvsim
