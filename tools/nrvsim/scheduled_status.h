// A change of a printer's port status that waits on a machine thread of its
// own until its moment comes, while the scenario goes on: the paper runs out
// in the middle of a job the next command prints.
#pragma once

#include <cstdint>
#include <string>

#include "machine/machine.h"
#include "scenario.h"
#include "usb/simulated_printer.h"

namespace nrvsim {

// The byte a change makes of the printer's present status: out of paper is
// paper empty and an error, paper back clears both; the selected bit stays.
uint8_t changedStatus(const StatusCommand& change, uint8_t present);

class ScheduledStatus {
 public:
  ScheduledStatus(nrv::Machine& machine, nrv::SimulatedPrinter& model, std::string printer,
                  StatusCommand change);
  // Withdraws the change if its moment has not come.
  ~ScheduledStatus();
  ScheduledStatus(const ScheduledStatus&) = delete;
  ScheduledStatus& operator=(const ScheduledStatus&) = delete;

  const std::string& printer() const { return printer_; }
  // Returns once the change is made or will never be: before its printer goes.
  void withdraw();

 private:
  nrv::Machine& machine_;
  std::string printer_;
  bool withdrawn_ = false;  // guarded by the scheduler's dispatcher lock
  bool ended_ = false;      // guarded by the scheduler's dispatcher lock
};

}  // namespace nrvsim
