#include "default_scenario.h"

namespace nrvsim {

namespace {

std::string scenarioString(const std::string& text) {
  std::string quoted = "\"";
  for (char character : text) {
    if (character == '"' || character == '\\') quoted += '\\';
    quoted += character;
  }
  return quoted + "\"";
}

}  // namespace

std::string defaultScenario(const std::string& printPath) {
  std::string job = "job \"NRV USB Printer 1\"";
  if (!printPath.empty()) job += " " + scenarioString(printPath);
  return "plug P1         # the system installs a printer queue for it\n"
         "show P1\n"
         "ports           # P1's port, with the printer's description\n" +
         job +
         "   # the queue the system installed at the plug, through the port monitor and the driver\n"
         "open P1\n"
         "reply P1 \"STATUS:READY;PAGES:1;\\r\\n\"\n"
         "read P1 64\n"
         "sleep S3        # refused: a handle is open\n"
         "close P1\n"
         "sleep S3\n"
         "wake\n"
         "unplug P1\n"
         "ports           # the port stays, not connected\n"
         "locale 0x0411   # Japanese\n"
         "ports\n";
}

}  // namespace nrvsim
