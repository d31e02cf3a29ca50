// nrvsim: runs the simulated Windows machine from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "boot_demo.h"

namespace {

const char kUsage[] =
    "usage: nrvsim [options]\n"
    "\n"
    "Runs the simulated Windows machine on which the NRVUSB printer driver is\n"
    "loaded and exercised, and prints a transcript of what the machine did.\n"
    "With no options it boots the built-in default machine (Windows 2000),\n"
    "plugs one USB printer, loads the driver module and shows its entry points,\n"
    "brings the printer up with the driver's own routines (its port name from\n"
    "the registry, its configuration from the USB bus), prints a document\n"
    "through the driver to the simulated printer, showing each write and the\n"
    "bulk transfers it took, and shuts down again\n"
    "under the verifier, which stops the run on any leak or broken kernel rule.\n"
    "\n"
    "options:\n"
    "  --profile=98|2000   operating system the machine runs (default 2000)\n"
    "  --driver=PATH       driver module to load (default: the one built with nrvsim)\n"
    "  --print=FILE        document to print (default: a built-in 150000-byte test page)\n"
    "  --help              show this text\n"
    "\n"
    "exit status: 0 when the run ended cleanly, 2 for a usage error; a broken\n"
    "kernel rule stops the machine with a report on standard error.\n";

bool takeValue(const char* argument, const char* option, std::string* value) {
  size_t length = std::strlen(option);
  if (std::strncmp(argument, option, length) != 0 || argument[length] != '=') return false;
  *value = argument + length + 1;
  return true;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "nrvsim: %s\n(see nrvsim --help)\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nrvsim::BootDemoOptions options;
  options.driverModule = NRVUSB_MODULE;
  for (int index = 1; index < argc; index++) {
    std::string value;
    if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (takeValue(argv[index], "--profile", &value)) {
      if (value == "98") {
        options.profile = nrv::OsProfile::Windows98;
      } else if (value == "2000") {
        options.profile = nrv::OsProfile::Windows2000;
      } else {
        return usageError("unknown profile '" + value + "': use 98 or 2000");
      }
    } else if (takeValue(argv[index], "--driver", &value)) {
      options.driverModule = value;
    } else if (takeValue(argv[index], "--print", &value)) {
      if (value.empty()) return usageError("--print needs a file name");
      options.printPath = value;
    } else {
      return usageError(std::string("unknown argument '") + argv[index] + "'");
    }
  }
  return nrvsim::runBootDemo(options, stdout);
}
