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

std::string defaultScenario(const std::string& printPath, nrv::OsProfile profile) {
  std::string job = "job \"NRV USB Printer 1\"";
  if (!printPath.empty()) job += " " + scenarioString(printPath);
  // Windows 98 installs without a word; Windows 2000 is warned about once.
  std::string install =
      profile == nrv::OsProfile::Windows98
          ? "install         # files, keys, the driver's INF; NRVUSBIN registers the monitor\n"
          : "answer ok       # to the installer's warning about this version of Windows\n"
            "install         # files, keys, the driver's INF; NRVUSBIN registers the monitor\n";
  return install +
         "plug P1         # the system installs a printer queue for it\n"
         "show P1\n"
         "ports           # P1's port, with the printer's description\n"
         "paper P1 out after=60   # the job stalls: the monitor waits in slices, polling the port status\n"
         "paper P1 in after=4000\n" +
         job +
         "   # the queue the system installed at the plug, through the port monitor and the driver\n"
         "open P1\n"
         "reply P1 \"STATUS:READY;PAGES:1;\\r\\n\"\n"
         "read P1 64\n"
         "reset P1        # the printer class's soft reset\n"
         "sleep S3        # refused: a handle is open\n"
         "close P1\n"
         "sleep S3\n"
         "wake\n"
         "unplug P1\n"
         "ports           # the port stays, not connected\n"
         "locale 0x0411   # Japanese\n"
         "ports\n"
         "locale 0x0409\n"
         "answer yes yes  # uninstall everything, and restart at once\n"
         "uninstall       # the files go at the restart that follows\n"
         "leftovers       # nothing unexpected\n";
}

}  // namespace nrvsim
