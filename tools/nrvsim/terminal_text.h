// Text nrvsim writes to a terminal that came from a scenario or a device: its
// control bytes are shown as \xHH, so none of them reaches the terminal raw.
#pragma once

#include <string>
#include <string_view>

namespace nrvsim {

std::string withoutControlBytes(std::string_view text);

// UTF-8 text in double quotes: '"' and '\\' escaped, control characters (C0,
// DEL and C1) as \xHH of their bytes, every other character as it is, so a
// Japanese description reads as Japanese.
std::string quotedText(std::string_view utf8);

// Bytes from a device in double quotes: printable ASCII as it is, '"' and '\\'
// escaped, CR and LF as \r and \n, every other byte as \xHH.
std::string quotedBytes(std::string_view bytes);

// A name as it is when it holds no control character, space at its ends or
// '"'; otherwise quoted as quotedText quotes.
std::string shownName(std::string_view utf8);

}  // namespace nrvsim
