// The host resource compiler: reads a deliverable's resource script (the same
// file the cross build gives windres) and writes either a C++ source that puts
// its string tables and version resource into the module's ".rsrc" section,
// where the machine's loader reads them as Windows reads a PE image's
// resources, or a PE image holding only those resources, which stands in the
// machine's files for the deliverable's Windows image.
//
//   nrv_resource_compiler SCRIPT.rc OUTPUT.cpp
//   nrv_resource_compiler --image driver|dll|exe SCRIPT.rc OUTPUT
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "host_image.h"
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

int usage() {
  std::cerr << "usage: nrv_resource_compiler SCRIPT.rc OUTPUT.cpp\n"
               "       nrv_resource_compiler --image driver|dll|exe SCRIPT.rc OUTPUT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<rc::ImageKind> kind;
  if (argc == 5 && std::string(argv[1]) == "--image") {
    kind = rc::imageKindNamed(argv[2]);
    if (!kind) return usage();
    argv += 2;
    argc -= 2;
  }
  if (argc != 3) return usage();
  std::ifstream input(argv[1], std::ios::binary);
  if (!input) {
    std::cerr << argv[1] << ": cannot be read\n";
    return 1;
  }
  std::stringstream script;
  script << input.rdbuf();
  std::string output;
  try {
    rc::ResourceScript resources = rc::readResourceScript(script.str());
    if (kind) {
      std::vector<uint8_t> image = rc::buildHostImage(resources, *kind);
      output.assign(image.begin(), image.end());
    } else {
      // The module's section is read on its own, so its data addresses count from its start.
      output = sourceOf(argv[1], rc::buildResourceSection(resources, 0));
    }
  } catch (const rc::ScriptError& error) {
    std::cerr << argv[1] << ":" << error.line() << ": " << error.what() << "\n";
    return 1;
  }
  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file << output;
  if (!file) {
    std::cerr << argv[2] << ": cannot be written\n";
    return 1;
  }
  return 0;
}
