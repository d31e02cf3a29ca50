// One nrvsim run: a scenario checked in full, then carried out on a freshly
// booted machine, then a verified shutdown. The machine boots with the
// driver and the port monitor loaded, unless the scenario installs the
// package itself: then it boots without it.
#pragma once

#include <string>

#include "machine/machine.h"
#include "machine/package_installation.h"

namespace nrvsim {

struct RunOptions {
  nrv::OsProfile profile = nrv::OsProfile::Windows2000;
  std::string driverModule;
  std::string monitorModule;
  // What `install` puts on the machine (the driver and monitor modules are those above).
  nrv::PackageFiles package;
  std::string source;         // the scenario's text
  std::string sourceName;     // for messages: the file or "--run"; empty for the built-in scenario
  bool inlineSource = false;  // messages then count commands, not lines
  std::string baseDirectory;  // where relative file names in print commands start
  bool json = false;
  bool profileGiven = false;  // --profile was on the command line
  // Load the machine from this folder when it holds one, and save it back at the end; empty for none.
  std::string machineFolder;
  std::string captureFile;   // where the run's USB traffic goes as a capture file; empty for none
  std::string timelineFile;  // where the picture of the run goes as SVG; empty for none
};

// The exit status: 0 when the scenario ran to its end, 1 when the driver or
// the port monitor did not load or start or the machine could not be saved,
// 2 for a scenario that cannot run or a machine folder that cannot be loaded.
int runScenario(const RunOptions& options);

}  // namespace nrvsim
