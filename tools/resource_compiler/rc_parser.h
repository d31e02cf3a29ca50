// The string tables of a resource script: STRINGTABLE blocks (BEGIN/END or
// braces, memory flags and their own LANGUAGE, CHARACTERISTICS or VERSION
// lines), file-wide LANGUAGE statements, and VERSIONINFO resources, which are
// read only far enough to be passed over. Identifiers and languages are numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rc_lexer.h"

namespace rc {

struct StringResource {
  uint16_t language;  // the LANGUAGE in force: MAKELANGID(primary, sub); U.S. English by default
  uint16_t id;
  std::u16string text;
  int line;
};

// Every string of the script, in the order written. Throws ScriptError for a
// line it cannot read, and for an identifier given twice in one language.
std::vector<StringResource> readStringTables(std::string_view script);

}  // namespace rc
