// The scenario language nrvsim runs: one command per line or several separated
// by ';', '#' comments, double-quoted strings with C escapes. `nrvsim --help`
// and README.md describe it; this header holds the parsed commands.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "usb/usb_link.h"

namespace nrvsim {

// A scenario that cannot run: the command's position in its source and why.
struct ScenarioError {
  int line = 0;     // 1-based; 0 when it concerns no line in particular
  int command = 0;  // 1-based position among all commands
  std::string message;
};

enum class Direction { Out, In };

// A scripted fault of the printer's bulk endpoint in that direction.
struct FaultSpec {
  enum class Kind { Stall, Fail, Delay, Hold } kind = Kind::Stall;
  Direction direction = Direction::Out;
  unsigned nth = 1;                          // the nth transfer since the printer was plugged
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // Fail
  uint64_t milliseconds = 0;                 // Delay
};

// Protocol of the printer interface; kNoPrinterInterface gives the device a
// vendor-specific interface instead.
constexpr int kNoPrinterInterface = 0;

struct PlugCommand {
  std::string printer;
  std::optional<std::string> deviceId;  // IEEE 1284 ID text; the printer model's own otherwise
  // The whole GET_DEVICE_ID reply, length prefix included, sent as given.
  std::optional<std::string> rawDeviceId;
  std::optional<std::string> serial;  // the name's own default otherwise; may be empty
  bool noSerial = false;
  int protocol = 2;
  nrv::UsbSpeed speed = nrv::UsbSpeed::Full;
  std::vector<FaultSpec> faults;
};

struct FaultCommand {
  std::string printer;
  std::vector<FaultSpec> faults;
};

struct ShowCommand {
  std::string printer;
};

struct OpenCommand {
  std::string printer;
};

struct CloseCommand {
  std::string printer;
};

// The printer class's soft reset, asked for on the open handle.
struct ResetCommand {
  std::string printer;
};

struct PrintCommand {
  std::string printer;
  std::string file;  // as written; empty: the built-in test page
  uint64_t timeout = 0;
  std::string path;  // where the file is, filled when the scenario is checked
};

struct ReplyCommand {
  std::string printer;
  std::string bytes;
};

struct ReadCommand {
  std::string printer;
  ULONG count = 0;
  uint64_t timeout = 0;
};

struct SleepCommand {
  SYSTEM_POWER_STATE state = PowerSystemSleeping3;
};

struct WakeCommand {};

struct WaitCommand {
  uint64_t milliseconds = 0;
};

struct UnplugCommand {
  std::string printer;
  bool safely = false;
};

// Changes the system default locale at once, as the control panel does.
struct LocaleCommand {
  uint32_t lcid = 0;
};

// Lists every port the spooler knows, as a program's EnumPorts at level 2 does.
struct PortsCommand {};

// A print or read that runs in the background under a name while later commands run.
struct StartCommand {
  std::string job;
  std::variant<PrintCommand, ReadCommand> work;
};

// Waits for a background job to end, or until the time limit passes.
struct WaitForJobCommand {
  std::string job;
  std::optional<uint64_t> timeout;
};

// Sends the job's pipe the driver's cancel request, as the port monitor does.
struct CancelCommand {
  std::string job;
};

// ---- the spooler's printers and jobs

// A printer queue on a port; its timeouts in seconds, as Windows shows them.
struct QueueCommand {
  std::string queue;
  std::string port;
  std::optional<uint64_t> retrySeconds;
  std::optional<uint64_t> notSelectedSeconds;
};

// Sends a document to a queue and waits until the job is done, in error or cancelled.
struct JobCommand {
  std::string queue;
  std::string file;  // as written; empty: the built-in test page
  uint64_t timeout = 0;
  std::string path;  // where the file is, filled when the scenario is checked
};

// Starts a job in error again from its first byte and waits as job does.
struct RetryCommand {
  std::string queue;
  uint64_t timeout = 0;
};

// Cancels a queue's job that is in error or still printing.
struct CancelQueueJobCommand {
  std::string queue;
};

// Sets the printer's port status byte, at once or that many milliseconds later.
struct StatusCommand {
  std::string printer;
  enum class Change { Byte, PaperOut, PaperIn } change = Change::Byte;
  UCHAR status = 0;  // Byte
  std::optional<uint64_t> after;
};

// The device ID through GetPrinterDataFromPort, as a bidirectional driver asks for it.
struct DeviceIdCommand {
  std::string queue;
};

struct DeletePortCommand {
  std::string port;
};

// ---- the machine's files and registry

// Every file and folder under a folder (default: the whole drive C:).
struct FilesCommand {
  std::string folder;
};

// A registry key with its subkeys and values, HKLM\... or HKU\....
struct RegistryCommand {
  std::string key;
};

// Restarts the machine: shutdown, the file operations left for the start, boot.
struct RebootCommand {};

// ---- the package's life

// The package's installation procedure: its files, keys and INF binding, then
// the installer library's version check and monitor installation.
struct InstallCommand {};

// What the person will press at the next message boxes, in order.
enum class BoxAnswer { Ok, Cancel, Yes, No };
struct AnswerCommand {
  std::vector<BoxAnswer> answers;
};

// Runs the uninstaller from the system folder.
struct UninstallCommand {};

// Every file, key, device, port, queue and monitor of the package still on the machine.
struct LeftoversCommand {};

using Action = std::variant<PlugCommand, FaultCommand, ShowCommand, OpenCommand, CloseCommand, ResetCommand,
                            PrintCommand, ReplyCommand, ReadCommand, SleepCommand, WakeCommand, WaitCommand,
                            UnplugCommand, StartCommand, WaitForJobCommand, CancelCommand, LocaleCommand,
                            PortsCommand, QueueCommand, JobCommand, RetryCommand, CancelQueueJobCommand,
                            StatusCommand, DeviceIdCommand, DeletePortCommand, FilesCommand, RegistryCommand,
                            RebootCommand, InstallCommand, AnswerCommand, UninstallCommand, LeftoversCommand>;

struct Command {
  int line = 0;
  int position = 0;
  std::string text;  // as written, for the transcript
  Action action;
};

// How long print and read wait (in virtual time) before they cancel the request.
constexpr uint64_t kDefaultTimeoutMilliseconds = 30000;
// How long job and retry wait (in virtual time) for the job to end or fail; it then goes on printing.
constexpr uint64_t kDefaultJobTimeoutMilliseconds = 600000;

// The longest ID text whose length prefix, two bytes that count themselves too, still fits.
constexpr size_t kLongestDeviceId = 0xFFFF - 2;

// Parses a whole scenario; throws ScenarioError at the first bad command.
std::vector<Command> parseScenario(std::string_view source);

// "bulk OUT transfer 2", the transfer a fault is for.
std::string describeTransfer(const FaultSpec& fault);

// "S3" for PowerSystemSleeping3, "S0" for PowerSystemWorking.
const char* sleepStateName(SYSTEM_POWER_STATE state);

}  // namespace nrvsim
