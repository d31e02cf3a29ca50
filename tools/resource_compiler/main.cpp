// The host resource compiler: reads a deliverable's resource script (the same
// file the cross build gives windres) and writes a C++ source that puts its
// string tables into the module's ".rsrc" section, where the machine's loader
// reads them as Windows reads a PE image's resources.
//
//   nrv_resource_compiler SCRIPT.rc OUTPUT.cpp
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "rc_parser.h"
#include "resource_section.h"

namespace {

std::string sourceOf(const std::string& script, const std::vector<uint8_t>& section) {
  std::ostringstream out;
  out << "// Generated from " << script << " by the host resource compiler: the module's resource section.\n";
  out << "__attribute__((section(\".rsrc\"), used, aligned(4))) static const unsigned char "
         "kResourceSection[] = {";
  for (size_t index = 0; index < section.size(); index++) {
    char byte[8];
    std::snprintf(byte, sizeof(byte), "0x%02x,", section[index]);
    out << (index % 16 == 0 ? "\n    " : " ") << byte;
  }
  out << "\n};\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: nrv_resource_compiler SCRIPT.rc OUTPUT.cpp\n";
    return 2;
  }
  std::ifstream input(argv[1], std::ios::binary);
  if (!input) {
    std::cerr << argv[1] << ": cannot be read\n";
    return 1;
  }
  std::stringstream script;
  script << input.rdbuf();
  std::vector<uint8_t> section;
  try {
    section = rc::buildResourceSection(rc::readStringTables(script.str()));
  } catch (const rc::ScriptError& error) {
    std::cerr << argv[1] << ":" << error.line() << ": " << error.what() << "\n";
    return 1;
  }
  std::ofstream output(argv[2], std::ios::binary | std::ios::trunc);
  output << sourceOf(argv[1], section);
  if (!output) {
    std::cerr << argv[2] << ": cannot be written\n";
    return 1;
  }
  return 0;
}
