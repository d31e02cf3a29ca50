// The spooler's printers and jobs, through the test monitor: a job's calls,
// pieces and id; a failed write puts the job in error until it is retried
// (from its first byte) or cancelled; writes that move nothing pause and give
// up after the printer's retry timeout; two ports print at the same time;
// GetPrinterDataFromPort reaches the port a job holds; and the machine shuts
// down cleanly whatever state its jobs are in.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/thread_context.h"
#include "death_test.h"
#include "machine/machine.h"
#include "test_monitor/test_monitor.h"

namespace {

using nrv::JobEvent;
using nrv::JobEventKind;
using nrv::JobState;
using nrv::PrintJob;

constexpr char kTestMonitor[] = "Test Port Monitor";

// Each monitor entry as it was called: "entry on thread".
struct EntryLog {
  std::mutex lock;
  std::vector<std::string> seen;

  static VOID WINAPI observe(LPCSTR entry, PVOID context) {
    auto* log = static_cast<EntryLog*>(context);
    std::lock_guard<std::mutex> guard(log->lock);
    log->seen.push_back(std::string(entry) + " on " + nrv::currentThread("the test monitor").name);
  }
  std::vector<std::string> entries(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> found;
    for (const std::string& entry : seen)
      if (entry.rfind(name + " ", 0) == 0) found.push_back(entry);
    return found;
  }
};

std::string describe(const JobEvent& event) {
  switch (event.kind) {
    case JobEventKind::OpenPort:
      return event.result ? "OpenPort" : nrv::format("OpenPort failed %u", event.error);
    case JobEventKind::StartDocPort:
      return event.result ? "StartDocPort" : nrv::format("StartDocPort failed %u", event.error);
    case JobEventKind::WritePort:
      return nrv::format("WritePort %u/%u", event.taken, event.asked) +
             (event.result ? "" : nrv::format(" failed %u", event.error));
    case JobEventKind::EndDocPort:
      return "EndDocPort";
    case JobEventKind::State:
      return std::string(nrv::jobStateName(event.state)) +
             (event.state == JobState::Error ? nrv::format(" %u", event.error) : "");
  }
  return "?";
}

std::vector<std::string> describe(const PrintJob& job) {
  std::vector<std::string> lines;
  for (const JobEvent& event : job.events()) lines.push_back(describe(event));
  return lines;
}

std::vector<uint8_t> bytes(size_t count) {
  std::vector<uint8_t> document(count);
  for (size_t at = 0; at < count; at++) document[at] = static_cast<uint8_t>(at * 7);
  return document;
}

class SpoolerJobs : public ::testing::Test {
 protected:
  SpoolerJobs() {
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
    machine.startSpooler();
    auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(machine.spooler().process()->exportOf(
        *machine.spooler().monitorModule(kTestMonitor), "TestMonitorControlBlock"));
    control = block();
    control->Observe = EntryLog::observe;
    control->Context = &log;
  }

  void addPrinter(const std::string& name, const std::string& port, nrv::PrinterTimeouts timeouts = {}) {
    nrv::SpoolerAnswer answer = machine.spooler().addPrinter(name, port, timeouts);
    ASSERT_TRUE(answer.result) << answer.error;
  }
  std::shared_ptr<PrintJob> submit(const std::string& printer, size_t size) {
    std::shared_ptr<PrintJob> job = machine.spooler().submitJob(printer, "doc", nrv::documentOf(bytes(size)));
    EXPECT_NE(job, nullptr);
    return job;
  }
  void script(std::initializer_list<TestWriteStep> steps, TestWriteStep then = {TEST_WRITE_TAKE_ALL, 0}) {
    control->WriteScriptLength = 0;
    for (const TestWriteStep& step : steps) control->WriteScript[control->WriteScriptLength++] = step;
    control->WriteScriptAt = 0;
    control->WriteDefault = then;
  }
  TestPortRecord& port(const char* name) {
    for (DWORD index = 0; index < control->OpenedPorts; index++)
      if (std::string(control->Opened[index].Name) == name) return control->Opened[index];
    ADD_FAILURE() << name << " was never opened";
    return control->Opened[0];
  }
  nrv::Spooler& spooler() { return machine.spooler(); }

  EntryLog log;  // outlives the machine, whose shutdown the monitor reports to it
  nrv::Machine machine;
  TestMonitorControl* control = nullptr;
};

TEST_F(SpoolerJobs, AJobGoesThroughThePortInPiecesWithItsPrinterAndId) {
  addPrinter("Office", "test1:");
  std::shared_ptr<PrintJob> first = submit("office", 10000);
  EXPECT_EQ(spooler().waitForJob(*first), JobState::Done);
  EXPECT_EQ(describe(*first),
            (std::vector<std::string>{"queued", "OpenPort", "printing", "StartDocPort", "WritePort 4096/4096",
                                      "WritePort 4096/4096", "WritePort 1808/1808", "EndDocPort", "done"}));
  EXPECT_EQ(first->bytesTaken(), 10000u);
  EXPECT_EQ(first->printer(), "Office") << "the printer's own name, whatever the caller's letter case";
  TestPortRecord& record = port("TEST1:");
  EXPECT_EQ(record.JobId, first->id());
  EXPECT_STREQ(record.PrinterName, "Office");
  EXPECT_STREQ(record.DocumentName, "doc");
  EXPECT_EQ(record.NotSelectedTimeout, 15000u) << "the defaults of a new printer, read by the monitor";
  EXPECT_EQ(record.RetryTimeout, 45000u);
  EXPECT_FALSE(record.JobOpen);
  EXPECT_EQ(record.Printer, nullptr) << "the monitor's printer handle was closed in EndDocPort";
  EXPECT_EQ(log.entries("WritePort"), std::vector<std::string>(3, "WritePort on spooler: job 1"));

  // The next job has a new id and the port it found open.
  spooler().printer("Office")->setTimeouts(nrv::PrinterTimeouts{5000, 7000});
  std::shared_ptr<PrintJob> second = submit("Office", 1);
  EXPECT_EQ(spooler().waitForJob(*second), JobState::Done);
  EXPECT_EQ(describe(*second), (std::vector<std::string>{"queued", "printing", "StartDocPort",
                                                         "WritePort 1/1", "EndDocPort", "done"}));
  EXPECT_EQ(second->id(), first->id() + 1);
  EXPECT_EQ(record.OpenPortCalls, 1u);
  EXPECT_EQ(record.JobId, second->id());
  EXPECT_EQ(record.RetryTimeout, 7000u) << "a printer's timeouts can be changed";
  EXPECT_EQ(record.NotSelectedTimeout, 5000u);
}

TEST_F(SpoolerJobs, WritesThatTakePartAreFollowedByTheRestAndAnEmptyDocumentIsNoWrite) {
  addPrinter("P", "TEST1:");
  script({{TEST_WRITE_TAKE_SOME, 1000}, {TEST_WRITE_TAKE_SOME, 1}, {TEST_WRITE_TAKE_SOME, 5000}},
         {TEST_WRITE_TAKE_SOME, 3000});
  std::shared_ptr<PrintJob> job = submit("P", 5000);
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Done);
  EXPECT_EQ(describe(*job),
            (std::vector<std::string>{"queued", "OpenPort", "printing", "StartDocPort", "WritePort 1000/4096",
                                      "WritePort 1/3096", "WritePort 3095/3095", "WritePort 904/904",
                                      "EndDocPort", "done"}));
  EXPECT_EQ(port("TEST1:").BytesTaken, 5000u);

  std::shared_ptr<PrintJob> empty = submit("P", 0);
  EXPECT_EQ(spooler().waitForJob(*empty), JobState::Done);
  EXPECT_EQ(describe(*empty),
            (std::vector<std::string>{"queued", "printing", "StartDocPort", "EndDocPort", "done"}));
}

TEST_F(SpoolerJobs, AFailedWritePutsTheJobInErrorAndARetryPrintsItAgainFromItsFirstByte) {
  addPrinter("P", "TEST1:");
  script({{TEST_WRITE_TAKE_ALL, 0}, {TEST_WRITE_TAKE_SOME, 10}, {TEST_WRITE_FAIL, ERROR_NOT_READY}});
  std::shared_ptr<PrintJob> job = submit("P", 9000);
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Error);
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(describe(*job).back(), "error 21");
  EXPECT_EQ(describe(*job)[6], "WritePort 0/4086 failed 21");
  TestPortRecord& record = port("TEST1:");
  EXPECT_TRUE(record.JobOpen) << "a job in error keeps its document open";
  EXPECT_EQ(record.EndDocPortCalls, 0u);
  EXPECT_FALSE(spooler().retryJob(*job) && spooler().retryJob(*job)) << "one retry at a time";
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Done);
  EXPECT_EQ(record.Restarts, 1u) << "StartDocPort again on the open document";
  EXPECT_EQ(record.StartDocPortCalls, 2u);
  EXPECT_EQ(record.EndDocPortCalls, 1u);
  EXPECT_EQ(job->bytesTaken(), 9000u);
  EXPECT_EQ(record.BytesTaken, 4096u + 10u + 9000u) << "the whole document the second time";
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_NOT_READY)) << "the error it was in stays shown";
  EXPECT_FALSE(spooler().retryJob(*job));
  EXPECT_FALSE(spooler().cancelJob(*job));
}

// Whoever sees the job in error can act on it at once, however the threads run.
TEST_F(SpoolerJobs, AJobSeenInErrorCanBeRetriedAtOnce) {
  addPrinter("P", "TEST1:");
  control->WriteDefault = TestWriteStep{TEST_WRITE_FAIL, ERROR_NOT_READY};
  std::shared_ptr<PrintJob> job = submit("P", 10);
  for (int round = 0; round < 300; round++) {
    ASSERT_EQ(spooler().waitForJob(*job), JobState::Error) << round;
    ASSERT_TRUE(spooler().retryJob(*job)) << round;
  }
  ASSERT_EQ(spooler().waitForJob(*job), JobState::Error);
  EXPECT_TRUE(spooler().cancelJob(*job));
  EXPECT_EQ(port("TEST1:").Restarts, 300u);
}

TEST_F(SpoolerJobs, AJobInErrorCanBeCancelledAndItsPortGoesToTheNextJob) {
  addPrinter("P", "TEST1:");
  addPrinter("Q", "TEST1:");
  script({{TEST_WRITE_FAIL, ERROR_IO_DEVICE}});
  std::shared_ptr<PrintJob> failing = submit("P", 100);
  std::shared_ptr<PrintJob> waiting = submit("Q", 100);
  std::shared_ptr<PrintJob> dropped = submit("P", 100);
  EXPECT_EQ(spooler().waitForJob(*failing), JobState::Error);
  EXPECT_EQ(spooler().waitForJob(*waiting, 60000), JobState::Queued) << "the port is still held";
  EXPECT_TRUE(spooler().cancelJob(*dropped));
  EXPECT_EQ(describe(*dropped), (std::vector<std::string>{"queued", "cancelled"}));
  EXPECT_TRUE(spooler().cancelJob(*failing));
  EXPECT_EQ(failing->state(), JobState::Cancelled) << "ended before the cancel returns";
  EXPECT_EQ(describe(*failing).back(), "cancelled");
  EXPECT_EQ(describe(*failing)[describe(*failing).size() - 2], "EndDocPort");
  EXPECT_FALSE(spooler().retryJob(*failing));
  EXPECT_EQ(spooler().waitForJob(*waiting), JobState::Done);
  EXPECT_EQ(port("TEST1:").PrinterName, std::string("Q"));
  EXPECT_EQ(port("TEST1:").EndDocPortCalls, 2u);
  EXPECT_EQ(spooler().jobs("p").size(), 2u);
}

// Writes that take nothing: the job pauses 100 ms between them instead of
// spinning, and is in error once the retry timeout passed without progress.
TEST_F(SpoolerJobs, WritesThatMoveNothingPauseAndEndInErrorAfterTheRetryTimeout) {
  addPrinter("P", "TEST1:", nrv::PrinterTimeouts{15000, 2000});
  // A spooler that spun would meet the failure at once instead of its own timeout.
  control->WriteScriptLength = 21;
  for (TestWriteStep& step : control->WriteScript) step = TestWriteStep{TEST_WRITE_TAKE_NONE, 0};
  control->WriteDefault = TestWriteStep{TEST_WRITE_FAIL, ERROR_GEN_FAILURE};
  uint64_t start = machine.scheduler().nowMilliseconds();
  std::shared_ptr<PrintJob> job = submit("P", 100);
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Error);
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(port("TEST1:").WritePortCalls, 21u) << "one write at the start, then one every 100 ms for 2 s";
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - start, 2000u);
  std::vector<JobEvent> events = job->events();
  uint64_t last = 0;
  for (const JobEvent& event : events) {
    if (event.kind != JobEventKind::WritePort) continue;
    if (last != 0) {
      EXPECT_EQ(event.time - last, 100u);
    }
    last = event.time;
  }

  // Progress now and then starts the wait over: no error however long it takes.
  script({{TEST_WRITE_TAKE_NONE, 0},
          {TEST_WRITE_TAKE_NONE, 0},
          {TEST_WRITE_TAKE_SOME, 1},
          {TEST_WRITE_TAKE_NONE, 0},
          {TEST_WRITE_TAKE_NONE, 0},
          {TEST_WRITE_TAKE_SOME, 1}},
         {TEST_WRITE_TAKE_ALL, 0});
  spooler().printer("P")->setTimeouts(nrv::PrinterTimeouts{15000, 250});
  EXPECT_TRUE(spooler().retryJob(*job));
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Done);
}

TEST_F(SpoolerJobs, ARetryTimeoutOfZeroWaitsUntilTheJobIsCancelled) {
  addPrinter("P", "TEST1:", nrv::PrinterTimeouts{15000, 0});
  script({}, {TEST_WRITE_TAKE_NONE, 0});
  std::shared_ptr<PrintJob> job = submit("P", 100);
  EXPECT_EQ(spooler().waitForJob(*job, 600000), JobState::Printing);
  DWORD calls = __atomic_load_n(&port("TEST1:").WritePortCalls, __ATOMIC_RELAXED);
  EXPECT_GE(calls, 6000u);
  EXPECT_LE(calls, 6001u);
  uint64_t cancelledAt = machine.scheduler().nowMilliseconds();
  EXPECT_TRUE(spooler().cancelJob(*job));
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Cancelled);
  EXPECT_EQ(machine.scheduler().nowMilliseconds(), cancelledAt) << "the pause ends with the cancel";
  EXPECT_EQ(port("TEST1:").EndDocPortCalls, 1u);
  EXPECT_FALSE(spooler().cancelJob(*job));
}

TEST_F(SpoolerJobs, APrintingJobIsCancelledAfterTheWriteInProgress) {
  addPrinter("P", "TEST1:");
  control->WriteDelay = 50;
  std::shared_ptr<PrintJob> job = submit("P", 100000);
  EXPECT_EQ(spooler().waitForJob(*job, 120), JobState::Printing);
  EXPECT_TRUE(spooler().cancelJob(*job));
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Cancelled);
  EXPECT_EQ(describe(*job), (std::vector<std::string>{"queued", "OpenPort", "printing", "StartDocPort",
                                                      "WritePort 4096/4096", "WritePort 4096/4096",
                                                      "WritePort 4096/4096", "EndDocPort", "cancelled"}));
}

TEST_F(SpoolerJobs, TwoPortsPrintAtTheSameTimeOnTwoThreadsAndOnePortOneJobAfterTheOther) {
  addPrinter("A", "TEST1:");
  addPrinter("B", "TEST2:");
  addPrinter("A2", "TEST1:");
  control->WriteDelay = 10;
  std::shared_ptr<PrintJob> a = submit("A", 10 * 4096);
  std::shared_ptr<PrintJob> b = submit("B", 10 * 4096);
  std::shared_ptr<PrintJob> a2 = submit("A2", 4096);
  EXPECT_EQ(spooler().waitForJob(*a), JobState::Done);
  EXPECT_EQ(spooler().waitForJob(*b), JobState::Done);
  EXPECT_EQ(spooler().waitForJob(*a2), JobState::Done);
  EXPECT_EQ(a->events().back().time, 100u);
  EXPECT_EQ(b->events().back().time, 100u) << "side by side, not one after the other";
  EXPECT_EQ(port("TEST1:").LastWriteTick, 100u) << "A2 waited for A's EndDocPort";
  std::vector<std::string> writes = log.entries("WritePort");
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "WritePort on spooler: job 1"), 10);
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "WritePort on spooler: job 2"), 10);
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "WritePort on spooler: job 3"), 1);
  EXPECT_EQ(port("TEST1:").OpenPortCalls, 1u);
}

TEST_F(SpoolerJobs, GetPrinterDataFromPortReachesThePortAJobHolds) {
  addPrinter("P", "TEST2:", nrv::PrinterTimeouts{15000, 0});
  std::vector<uint8_t> output(100, 0xEE);
  DWORD returned = 0xDDDDDDDD;
  nrv::SpoolerAnswer answer = spooler().printerDataFromPort("P", 17, {}, &output, &returned);
  EXPECT_FALSE(answer.result) << "no job open on the port yet";
  EXPECT_EQ(port("TEST2:").OpenPortCalls, 1u) << "the port was opened for the call, and stays open";

  script({}, {TEST_WRITE_TAKE_NONE, 0});
  std::shared_ptr<PrintJob> job = submit("P", 10);
  EXPECT_EQ(spooler().waitForJob(*job, 1000), JobState::Printing);
  answer = spooler().printerDataFromPort("p", 17, {}, &output, &returned);
  ASSERT_TRUE(answer.result) << answer.error;
  EXPECT_EQ(std::string(output.begin(), output.begin() + returned), "MFG:Test;MDL:TEST2:");
  EXPECT_EQ(output[returned], 0xEE);
  std::vector<std::string> calls = log.entries("GetPrinterDataFromPort");
  EXPECT_EQ(calls.back(), "GetPrinterDataFromPort on spooler: GetPrinterDataFromPort")
      << "on a spooler thread of its own while the job's thread pauses";
  answer = spooler().printerDataFromPort("P", 5, {}, &output, &returned);
  EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "the monitor's own error";
  EXPECT_EQ(port("TEST2:").OpenPortCalls, 1u);
  EXPECT_TRUE(spooler().cancelJob(*job));
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Cancelled);
  answer = spooler().printerDataFromPort("Nobody", 17, {}, &output, &returned);
  EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
}

// The spooler refuses to delete a port a printer prints to, whatever its
// jobs do, without asking the monitor; a port no printer uses goes.
TEST_F(SpoolerJobs, APortAPrinterPrintsToIsNotDeleted) {
  addPrinter("P", "TEST1:");
  script({{TEST_WRITE_FAIL, ERROR_NOT_READY}});
  std::shared_ptr<PrintJob> job = submit("P", 10);
  EXPECT_EQ(spooler().waitForJob(*job), JobState::Error);
  nrv::SpoolerAnswer answer = spooler().deletePort(nullptr, "test1:");
  EXPECT_FALSE(answer.result);
  EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_BUSY));
  EXPECT_TRUE(spooler().cancelJob(*job));
  answer = spooler().deletePort(nullptr, "TEST1:");
  EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_BUSY)) << "with no job, the printer still prints to it";
  EXPECT_EQ(log.entries("DeletePort"), std::vector<std::string>{});
  EXPECT_TRUE(spooler().deletePort(nullptr, "TEST2:").result);
  EXPECT_EQ(log.entries("DeletePort").size(), 1u);
}

TEST_F(SpoolerJobs, AddPrinterChecksTheNameAndThePort) {
  EXPECT_EQ(spooler().addPrinter("", "TEST1:").error, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(spooler().addPrinter("a\\b", "TEST1:").error, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(spooler().addPrinter("a,b", "TEST1:").error, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(spooler().addPrinter("P", "NOPE:").error, static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  addPrinter("P", "test1:");
  EXPECT_EQ(spooler().printer("p")->port(), "TEST1:") << "the port as its monitor lists it";
  EXPECT_EQ(spooler().addPrinter("p", "TEST2:").error, static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
  EXPECT_EQ(spooler().printer("Q"), nullptr);
  EXPECT_EQ(spooler().submitJob("Q", "doc", nrv::documentOf({})), nullptr);
}

// The machine's shutdown, which ends the jobs first, with a job done, one in
// error, one printing for ever, one waiting and one cancelled: every document
// ends and every port closes; the monitor's printer handles are all closed by
// then, else the spooler's process end reports them as the machine goes.
TEST_F(SpoolerJobs, ShutdownEndsEveryJobWhateverItsState) {
  addPrinter("Done", "TEST1:");
  addPrinter("Stuck", "TEST2:", nrv::PrinterTimeouts{15000, 0});
  addPrinter("Also", "TEST2:");
  std::shared_ptr<PrintJob> done = submit("Done", 10);
  EXPECT_EQ(spooler().waitForJob(*done), JobState::Done);
  script({{TEST_WRITE_FAIL, ERROR_NOT_READY}});
  std::shared_ptr<PrintJob> failed = submit("Done", 10);
  EXPECT_EQ(spooler().waitForJob(*failed), JobState::Error);
  script({}, {TEST_WRITE_TAKE_NONE, 0});
  std::shared_ptr<PrintJob> stuck = submit("Stuck", 10);
  std::shared_ptr<PrintJob> waiting = submit("Also", 10);
  std::shared_ptr<PrintJob> cancelled = submit("Also", 10);
  EXPECT_TRUE(spooler().cancelJob(*cancelled));
  EXPECT_EQ(spooler().waitForJob(*stuck, 5000), JobState::Printing);
  spooler().endJobs();
  EXPECT_EQ(done->state(), JobState::Done);
  EXPECT_EQ(failed->state(), JobState::Cancelled);
  EXPECT_EQ(stuck->state(), JobState::Cancelled);
  EXPECT_EQ(waiting->state(), JobState::Cancelled);
  EXPECT_EQ(describe(*waiting), (std::vector<std::string>{"queued", "cancelled"}));
  EXPECT_EQ(log.entries("EndDocPort").size(), 3u);
  EXPECT_EQ(log.entries("ClosePort").size(), 2u);
  EXPECT_EQ(spooler().submitJob("Done", "doc", nrv::documentOf({})), nullptr) << "no job after the stop";
}

}  // namespace

namespace {

// What a job's record must show, whatever happened to it: it begins queued;
// no write comes before a document was started; a document ends at most once
// per start and only after one; a job done had its whole document taken
// since its last start, and ended it.
void expectConsistent(const PrintJob& job, size_t size) {
  std::vector<JobEvent> events = job.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().kind, JobEventKind::State);
  EXPECT_EQ(events.front().state, JobState::Queued);
  bool open = false;
  uint64_t taken = 0;
  for (const JobEvent& event : events) {
    if (event.kind == JobEventKind::StartDocPort) {
      open = event.result || open;  // a failed restart leaves the document as it was
      taken = 0;
    }
    if (event.kind == JobEventKind::WritePort) {
      EXPECT_TRUE(open) << "job " << job.id();
      EXPECT_LE(event.taken, event.asked);
      EXPECT_LE(event.asked, nrv::Spooler::kPieceSize);
      taken += event.taken;
    }
    if (event.kind == JobEventKind::EndDocPort) {
      EXPECT_TRUE(open) << "job " << job.id();
      open = false;
    }
  }
  EXPECT_FALSE(open) << "job " << job.id() << " left its document open";
  if (job.state() == JobState::Done) {
    EXPECT_EQ(taken, size) << "job " << job.id();
    EXPECT_EQ(job.bytesTaken(), size);
  }
}

}  // namespace

using SpoolerJobsDeathTest = platform_test::DeathTest;

TEST_F(SpoolerJobsDeathTest, AMonitorThatTakesMoreThanItWasGivenStopsTheMachine) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL",
                                      TEST_MONITOR_MODULE);
        machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
        machine.startSpooler();
        auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(machine.spooler().process()->exportOf(
            *machine.spooler().monitorModule(kTestMonitor), "TestMonitorControlBlock"));
        block()->Misbehave = TEST_MONITOR_TAKES_MORE_THAN_GIVEN;
        machine.spooler().addPrinter("P", "TEST1:");
        std::shared_ptr<PrintJob> job = machine.spooler().submitJob("P", "doc", nrv::documentOf(bytes(10)));
        machine.spooler().waitForJob(*job);
      },
      "STOP: MONITOR_BAD_WRITE.*port monitor 'Test Port Monitor' \\(TESTMON.so\\): its WritePort took 11 "
      "bytes of "
      "the 10 it was given");
}

// Random write outcomes, sizes, printers, cancels, retries and printer data requests,
// ending with the end of every job: no hang, no leak, and records that add up.
TEST_F(SpoolerJobs, RandomJobsCancelsAndRetries) {
  addPrinter("A", "TEST1:", nrv::PrinterTimeouts{15000, 700});
  addPrinter("B", "TEST2:", nrv::PrinterTimeouts{15000, 0});
  addPrinter("C", "TEST1:", nrv::PrinterTimeouts{15000, 300});
  const char* printers[] = {"A", "B", "C"};
  uint32_t seed = 8;  // one whose run has jobs done, cancelled, in error, and retried to the end
  auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  std::vector<std::pair<std::shared_ptr<PrintJob>, size_t>> jobs;
  control->WriteRandomSeed = seed;
  control->WriteDelay = 5;
  for (int round = 0; round < 40; round++) {
    size_t size = next(3) == 0 ? 0 : next(20000);
    std::shared_ptr<PrintJob> job =
        spooler().submitJob(printers[next(3)], "doc", nrv::documentOf(bytes(size)));
    ASSERT_NE(job, nullptr);
    jobs.emplace_back(job, size);
    // Half the time a job in error, if there is one, so that ports are let go.
    std::shared_ptr<PrintJob> chosen = jobs[next(static_cast<uint32_t>(jobs.size()))].first;
    for (auto& [candidate, candidateSize] : jobs) {
      if (candidate->state() == JobState::Error && next(2) == 0) chosen = candidate;
    }
    switch (next(5)) {
      case 0:
        spooler().cancelJob(*chosen);
        break;
      case 1:
        spooler().retryJob(*chosen);
        break;
      case 2: {
        std::vector<uint8_t> output(64);
        DWORD returned = 0;
        spooler().printerDataFromPort(chosen->printer(), 17, {}, &output, &returned);
        break;
      }
      default:
        spooler().waitForJob(*chosen, next(3000));
    }
  }
  spooler().endJobs();
  for (auto& [job, size] : jobs) {
    EXPECT_TRUE(nrv::jobFinished(job->state()))
        << "job " << job->id() << " " << nrv::jobStateName(job->state());
    expectConsistent(*job, size);
  }
  for (DWORD index = 0; index < control->OpenedPorts; index++) {
    EXPECT_FALSE(control->Opened[index].JobOpen) << control->Opened[index].Name;
    EXPECT_EQ(control->Opened[index].ClosePortCalls, 1u) << control->Opened[index].Name;
  }
}
