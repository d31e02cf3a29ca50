// What the compiler reads of a resource script: STRINGTABLE blocks (BEGIN/END
// or braces, memory flags and their own LANGUAGE, CHARACTERISTICS or VERSION
// lines), file-wide LANGUAGE statements, and VERSIONINFO resources (their
// header lines, nested BLOCKs and VALUEs). Identifiers and languages are numbers.
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

// VS_FIXEDFILEINFO's fields as the header lines give them.
struct FixedVersion {
  uint32_t fileVersionMs = 0;
  uint32_t fileVersionLs = 0;
  uint32_t productVersionMs = 0;
  uint32_t productVersionLs = 0;
  uint32_t flagsMask = 0;
  uint32_t flags = 0;
  uint32_t os = 0;
  uint32_t type = 0;
  uint32_t subtype = 0;
};

// A BLOCK (children only) or a VALUE: text, or numbers as little-endian words
// (double words for those written with an L suffix).
struct VersionNode {
  enum class Kind { Block, Text, Binary };
  Kind kind = Kind::Block;
  std::u16string key;
  std::u16string text;
  std::vector<uint8_t> binary;
  std::vector<VersionNode> children;
};

struct VersionResource {
  uint16_t language;  // the LANGUAGE in force
  uint16_t name;      // VS_VERSION_INFO is 1
  FixedVersion fixed;
  std::vector<VersionNode> children;
  int line;
};

struct ResourceScript {
  std::vector<StringResource> strings;  // in the order written
  std::vector<VersionResource> versions;
};

// Throws ScriptError for a line it cannot read, for a string identifier given
// twice in one language, and for a second version resource of one name and language.
ResourceScript readResourceScript(std::string_view script);

}  // namespace rc
