// What a run found out: the facts of each step, from which both the transcript
// and the --json document are written, so the two always tell the same story.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace nrvsim {

struct DispatchEntry {
  std::string function;  // "IRP_MJ_CREATE", "AddDevice", "DriverUnload"
  std::string routine;   // "NRVUSB.so!PLMUSB_Create"
};

struct DriverLoaded {
  std::string modulePath;
  std::string loadFailure;  // why the file could not be loaded as a driver; empty when DriverEntry ran
  NTSTATUS entryStatus = STATUS_SUCCESS;  // or, with a load failure, the loader's status
  std::vector<DispatchEntry> routines;
  int refusedMajorFunctions = 0;
};

struct PipeFacts {
  UCHAR endpoint = 0;
  std::string type;  // "bulk", ...
  USHORT maxPacketSize = 0;
};

// The configuration the bus handed out, as the device sees it.
struct ConfigurationFacts {
  UCHAR interfaceNumber = 0;
  UCHAR alternateSetting = 0;
  UCHAR interfaceClass = 0;
  UCHAR protocol = 0;
  std::vector<PipeFacts> pipes;
};

struct ChildFacts {
  std::string instancePath;
  std::string state;
  std::string deviceId;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string instanceId;
  std::string description;
};

// A printer queue the system created for a printer plugged in for the first time.
struct InstalledQueue {
  std::string queue;
  std::string port;
};

struct PrinterPlugged {
  std::string printer;
  ULONG port = 0;
  std::string instancePath;
  std::string deviceId;      // what the printer answers GET_DEVICE_ID with, after the length prefix
  bool rawDeviceId = false;  // deviceId is the whole reply, length prefix included
  std::optional<std::string> serialNumber;  // none: the printer reports none
  int protocol = 0;
  bool highSpeed = false;
  std::vector<std::string> faults;
  // Plugged while the machine sleeps: Plug and Play hears of it only at the wake.
  bool waitsForWake = false;
  std::string state;                    // of its device node after AddDevice and start
  std::optional<NTSTATUS> addStatus;    // none while it waits for the wake
  std::optional<NTSTATUS> startStatus;  // none when AddDevice failed and no start was sent
  bool driverAttached = false;
  std::optional<std::string> portName;
  size_t children = 0;
  std::vector<InstalledQueue> queuesInstalled;
};

struct FaultsScheduled {
  std::string printer;
  std::vector<std::string> faults;
};

struct PrinterShown {
  std::string printer;
  std::string instancePath;
  std::string state;
  size_t openHandles = 0;
  std::optional<std::string> portName;
  std::optional<std::string> deviceId;
  std::optional<unsigned> serialNumberFound;
  std::optional<std::string> interfaceLink;
  std::optional<ConfigurationFacts> configuration;
  std::vector<ChildFacts> children;
};

struct HandleOpened {
  std::string printer;
  NTSTATUS status = STATUS_SUCCESS;
  std::string link;  // empty when the printer has no enabled interface
};

struct HandleClosed {
  std::string printer;
  bool printerRemoved = false;  // it had been unplugged and waited for this handle
};

struct PrinterReset {
  std::string printer;
  NTSTATUS status = STATUS_SUCCESS;  // of IOCTL_USBPRN_SOFT_RESET
};

// Bulk transfers in a row that moved as many bytes and ended alike.
struct TransferRun {
  size_t bytes = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  size_t count = 1;
  bool operator==(const TransferRun&) const = default;
};

// A read or write request and the bulk transfers the driver made of it; a long
// print's writes that went exactly alike are one entry, `times` of them.
struct RequestFacts {
  size_t length = 0;
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t information = 0;
  bool cancelled = false;  // it outlived its timeout: its pipe's requests were cancelled and the pipe reset
  NTSTATUS cancelStatus = STATUS_SUCCESS;
  NTSTATUS resetStatus = STATUS_SUCCESS;
  uint64_t milliseconds = 0;
  std::vector<TransferRun> transfers;
  size_t times = 1;
  bool operator==(const RequestFacts&) const = default;
};

struct DocumentPrinted {
  std::string printer;
  std::string document;
  size_t size = 0;
  std::optional<NTSTATUS> ownOpen;  // the job opened its own handle, with this status
  std::vector<RequestFacts> writes;
  size_t received = 0;  // bytes the printer took during the job
  // Every byte received in order, by sizes and checksums of the transfers.
  bool identical = false;
};

struct ReplyQueued {
  std::string printer;
  size_t bytes = 0;
  size_t waiting = 0;  // replies the printer now holds
};

struct DataRead {
  std::string printer;
  std::optional<NTSTATUS> ownOpen;
  std::optional<RequestFacts> request;
  std::string data;
};

struct DevicePower {
  std::string printer;
  std::string state;  // "D0" .. "D3"
};

struct PowerChanged {
  std::string requested;  // "S3", or "S0" for a wake
  NTSTATUS status = STATUS_SUCCESS;
  std::optional<std::string> vetoedBy;
  std::string systemState;
  std::vector<DevicePower> devices;
  std::vector<std::string> arrived;  // printers plugged during the sleep, enumerated at this wake
};

struct TimePassed {
  uint64_t milliseconds = 0;
};

struct LocaleChanged {
  uint32_t lcid = 0;
  unsigned codePage = 0;  // the ANSI code page that goes with it
};

// A port as the spooler listed it, its texts in UTF-8.
struct PortFacts {
  std::string name;
  std::string monitor;
  std::optional<std::string> description;
  // For NRVUSBMN's ports: whether a printer plugged in now has this port name.
  std::optional<bool> connected;
};

struct PortsListed {
  std::vector<PortFacts> ports;
};

// The port monitor the spooler was started with, and what it listed right after.
struct MonitorStarted {
  std::string name;        // as registered: "Norvo USB Printer Port Monitor"
  std::string file;        // in the system folder: "NRVUSBMN.DLL"
  std::string modulePath;  // the host file that plays it
  std::string failure;     // why the spooler could not use it; empty when it does
  std::vector<PortFacts> ports;
};

struct PrinterUnplugged {
  std::string printer;
  bool safely = false;
  NTSTATUS status = STATUS_SUCCESS;  // of the safe removal
  bool gone = false;                 // its stack is removed and the bus has let it go
  std::string state;                 // of its device node while it stays
  size_t openHandles = 0;
};

struct JobStarted {
  std::string job;
  std::string printer;
  std::string work;  // "print the built-in test page", "read 64 bytes"
};

using JobOutcome = std::variant<DocumentPrinted, DataRead>;

struct JobWaited {
  std::string job;
  uint64_t milliseconds = 0;          // waited
  bool scenarioEnded = false;         // the scenario left it running: it is waited for before shutdown
  std::optional<JobOutcome> outcome;  // none: still running when the time limit came
  bool ownHandleClosed = false;
  bool printerRemoved = false;  // that handle was an unplugged printer's last
};

struct CancelSent {
  std::string job;
  std::string printer;
  std::string pipe;  // "OUT" or "IN"
  bool jobRunning = false;
  NTSTATUS status = STATUS_SUCCESS;
};

// ---- the spooler's printers and jobs

// What a spooler call answered: its result and, when it failed, its last error.
struct SpoolerResult {
  bool succeeded = true;
  uint32_t error = 0;
};

struct QueueAdded {
  std::string queue;
  std::string port;
  uint64_t notSelectedMilliseconds = 0;
  uint64_t retryMilliseconds = 0;
  SpoolerResult result;
};

// A call the spooler made to the port for a job, or a port status the printer
// on that port answered meanwhile.
struct JobLine {
  enum class Kind { OpenPort, StartDocPort, WritePort, EndDocPort, StatusPoll };
  uint64_t milliseconds = 0;  // when the call returned, or the status was sent
  Kind kind = Kind::StatusPoll;
  SpoolerResult result;
  uint32_t asked = 0;  // WritePort
  uint32_t taken = 0;
  uint8_t status = 0;  // StatusPoll
};

// What a job did while a command waited for it: submitted, retried or cancelled.
struct SpoolerJobRun {
  enum class How { Submitted, Retried, Cancelled } how = How::Submitted;
  std::string queue;
  std::string port;
  uint32_t id = 0;
  std::string document;
  uint64_t size = 0;
  std::string stateBefore;         // of a job retried or cancelled
  std::optional<uint32_t> behind;  // the job in error a new job waits behind; it was not waited for
  // A job still printing on the port when this one was sent: the printer gets its rest first.
  std::optional<uint32_t> follows;
  std::vector<JobLine> lines;
  std::string state;  // "done", "error", "cancelled", or "queued"/"printing" at the time limit
  uint32_t lastError = 0;
  uint64_t milliseconds = 0;  // waited
  uint64_t bytesTaken = 0;    // by the port since the job last started
  // Bytes the printer on the port received meanwhile, and whether they are the
  // document's first bytes in order; none when no plugged printer has the port.
  std::optional<uint64_t> received;
  bool intact = false;
};

struct PortStatusSet {
  std::string printer;
  std::string change;  // "status", "paper out" or "paper in"
  // The byte set; for a paper change still to come, known only when it comes.
  std::optional<uint8_t> status;
  std::optional<uint64_t> after;  // the change comes this many milliseconds later
  bool prints = false;            // the printer prints with the byte set now
};

struct DeviceIdAsked {
  std::string queue;
  SpoolerResult result;
  std::string deviceId;  // the text after the length prefix
  uint32_t returned = 0;
};

struct PortDeleted {
  std::string port;
  SpoolerResult result;
};

// ---- the machine's files and registry

struct FileFacts {
  std::string path;
  bool folder = false;
  uint64_t size = 0;
};

struct FilesListed {
  std::string folder;
  bool found = false;
  std::vector<FileFacts> entries;
};

struct RegistryValueFacts {
  std::string name;  // empty: the key's default value
  std::string type;  // "REG_SZ", ...
  std::string data;  // as text: quoted strings, 0x... for numbers, hexadecimal bytes otherwise
};

struct RegistryKeyFacts {
  std::string path;
  std::vector<RegistryValueFacts> values;
};

struct RegistryListed {
  std::string key;
  bool found = false;
  std::vector<RegistryKeyFacts> keys;  // the key first, then every key below it
};

// ---- a restart

struct FileOperationFacts {
  std::string source;   // "PendingFileRenameOperations" or "WININIT.INI"
  std::string text;     // the pair or the line as written
  std::string outcome;  // "deleted", "renamed", "not found", ...
};

struct MonitorBackFacts {
  std::string name;
  std::string file;
  std::string failure;  // empty when the spooler uses it
};

struct PrinterBackFacts {
  std::string printer;
  std::string instancePath;
  std::optional<std::string> portName;
};

// What a start from an earlier machine's disk did: at a reboot, or when the machine is loaded from a folder.
struct MachineRestarted {
  bool requested = false;  // a program asked for it
  std::vector<FileOperationFacts> operations;
  std::string driverService;  // empty when the machine had no function driver
  std::string driverImage;    // the file its service key names; empty when the key has no ImagePath
  std::string driverFailure;  // empty when it loaded again
  bool spooler = false;       // the spooler started again
  std::vector<MonitorBackFacts> monitors;
  std::vector<PrinterBackFacts> printers;
};

// ---- the package's life

// A message box as the person saw it, and what they pressed.
struct MessageBoxFacts {
  std::string process;
  std::string caption;  // as shown, in UTF-8
  std::string text;
  uint32_t style = 0;
  std::string answer;  // "OK", "Cancel", "Yes", "No"
};

struct PackageInstalled {
  std::vector<std::string> steps;
  std::vector<MessageBoxFacts> boxes;
  std::optional<uint32_t> checkVersion;
  std::optional<uint32_t> installPortMonitor;
  std::string stopped;  // why the procedure stopped early; empty when it went through
};

struct AnswersScripted {
  std::vector<std::string> waiting;  // every answer not yet taken, in order
};

// One thing of the package on the machine.
struct PackageItemFacts {
  std::string kind;  // "file", "key", "value", "device", "port", "queue", "monitor", "scheduled"
  std::string name;
  std::string expectedBecause;  // empty when nothing explains why it is still there
};

struct PackageUninstalled {
  std::string failure;  // why the program could not run; empty when it ran
  std::vector<MessageBoxFacts> boxes;
  uint32_t exitCode = 0;
  std::vector<PackageItemFacts> removed;    // what of the package went
  std::vector<PackageItemFacts> scheduled;  // the file operations it left for the next start
};

struct LeftoversListed {
  std::vector<PackageItemFacts> items;
};

using Event =
    std::variant<PrinterPlugged, FaultsScheduled, PrinterShown, HandleOpened, HandleClosed, PrinterReset,
                 DocumentPrinted, ReplyQueued, DataRead, PowerChanged, TimePassed, PrinterUnplugged,
                 JobStarted, JobWaited, CancelSent, LocaleChanged, PortsListed, QueueAdded, SpoolerJobRun,
                 PortStatusSet, DeviceIdAsked, PortDeleted, FilesListed, RegistryListed, MachineRestarted,
                 PackageInstalled, AnswersScripted, PackageUninstalled, LeftoversListed>;

// A command as it starts: when, where in the scenario, and its text.
struct Step {
  uint64_t milliseconds = 0;
  int line = 0;
  std::string text;
};

}  // namespace nrvsim
