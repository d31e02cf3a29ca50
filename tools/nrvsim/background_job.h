// A print or read that runs on a machine thread of its own while the scenario
// goes on, so that removal, sleep or cancel can meet it half-way.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "events.h"
#include "machine/machine.h"
#include "print_job.h"

namespace nrvsim {

class BackgroundJob {
 public:
  // Starts work on a new machine thread; the target's handle stays open until the job is released.
  BackgroundJob(nrv::Machine& machine, std::string name, JobTarget target, bool reads,
                std::function<JobOutcome()> work);
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  // Waits in virtual time, for at most the given milliseconds; true when the job has ended.
  bool wait(std::optional<uint64_t> milliseconds);
  bool ended();
  // What the job did; only once it has ended.
  const JobOutcome& outcome() const { return *outcome_; }

  const std::string& name() const { return name_; }
  const JobTarget& target() const { return target_; }
  JobTarget& target() { return target_; }
  bool reads() const { return reads_; }

 private:
  nrv::Machine& machine_;
  std::string name_;
  JobTarget target_;
  bool reads_;
  bool ended_ = false;  // guarded by the scheduler's dispatcher lock
  std::optional<JobOutcome> outcome_;
};

}  // namespace nrvsim
