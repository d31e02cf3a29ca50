// Text from scenarios and devices is bytes, not always UTF-8: the documents
// nrvsim writes check it a character at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nrvsim {

// The length of the well-formed UTF-8 sequence at the start of text; 0 when there is none.
size_t utf8SequenceLength(std::string_view text);

// The character of the byte's number (U+0080 to U+00FF) in UTF-8, for a byte that is no part of UTF-8.
std::string latin1Character(unsigned char byte);

}  // namespace nrvsim
