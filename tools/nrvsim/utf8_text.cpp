#include "utf8_text.h"

namespace nrvsim {

size_t utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  auto byte = [&](size_t index) { return static_cast<unsigned char>(text[index]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
  if (length == 0 || text.size() < length) return 0;
  for (size_t index = 1; index < length; index++) {
    if ((byte(index) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
  unsigned char second = byte(1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

std::string latin1Character(unsigned char byte) {
  return {static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
}

}  // namespace nrvsim
