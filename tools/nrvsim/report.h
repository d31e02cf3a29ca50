// Where a run's facts go: a transcript for people, or one JSON document for scripts.
#pragma once

#include <cstdio>
#include <memory>

#include "events.h"
#include "scenario.h"

namespace nrvsim {

class Report {
 public:
  virtual ~Report() = default;

  virtual void booted(uint64_t milliseconds, const char* profile) = 0;
  // The machine was loaded from a folder and started from its disk.
  virtual void loaded(uint64_t milliseconds, const std::string& folder, const MachineRestarted& start) = 0;
  virtual void driverLoaded(uint64_t milliseconds, const DriverLoaded& driver) = 0;
  virtual void monitorStarted(uint64_t milliseconds, const MonitorStarted& monitor) = 0;
  // The machine starts without the package: the scenario installs it.
  virtual void spoolerStarted(uint64_t milliseconds) = 0;
  virtual void stepStarted(const Step& step) = 0;
  virtual void stepFinished(const Event& event) = 0;
  // A command that could not run; the machine then shuts down.
  virtual void stepFailed(const ScenarioError& error, const std::string& where) = 0;
  virtual void shuttingDown(uint64_t milliseconds) = 0;
  // The machine is gone and the verifier found nothing left behind.
  virtual void shutdownClean() = 0;
  // The machine was saved to its folder after the shutdown.
  virtual void saved(const std::string& folder) = 0;
};

std::unique_ptr<Report> makeTranscript(FILE* out);
std::unique_ptr<Report> makeJsonReport(FILE* out);

}  // namespace nrvsim
