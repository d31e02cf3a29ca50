#include "scenario_writer.h"

#include <algorithm>
#include <functional>
#include <random>

namespace soak {

namespace {

struct Printer {
  std::string name;
  int protocol = 2;
  bool plugged = false;
  bool handle = false;     // open through open, closed through close
  bool lingering = false;  // unplugged with a handle open: gone once the last handle closes
  // A spooler job may have gone to it: the spooler keeps the port open until the next start.
  bool spooled = false;
};

struct Job {
  std::string name;
  std::string printer;
  bool reads = false;
  bool usesOpenHandle = false;
  bool cancelled = false;
};

class Writer {
 public:
  explicit Writer(uint64_t seed) : random_(seed) {
    int count = 1 + pick(3);
    for (int index = 0; index < count; index++) printers_.push_back(Printer{"P" + std::to_string(index + 1)});
  }

  SoakScenario write() {
    bool windows98 = chance(30);
    int steps = 6 + pick(25);
    for (int step = 0; step < steps; step++) oneCommand();
    if (asleep_) line("wake");
    showAll();
    return SoakScenario{windows98, text_, documents_};
  }

 private:
  // ---- random choices
  int pick(int count) { return static_cast<int>(random_() % static_cast<uint64_t>(count)); }
  bool chance(int percent) { return pick(100) < percent; }
  template <typename T>
  const T& oneOf(const std::vector<T>& items) {
    return items[static_cast<size_t>(pick(static_cast<int>(items.size())))];
  }

  void line(const std::string& command) { text_ += command + "\n"; }

  // ---- the machine's state as the scenario leaves it
  bool running(const std::string& printer, bool reads) const {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [&](const Job& job) { return job.printer == printer && job.reads == reads; });
  }
  bool handleInUse(const Printer& printer) const {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [&](const Job& job) { return job.printer == printer.name && job.usesOpenHandle; });
  }
  bool anyHandles() const {
    return !jobs_.empty() || std::any_of(printers_.begin(), printers_.end(), [](const Printer& p) {
      return p.handle || p.lingering || (p.plugged && p.spooled);
    });
  }
  Printer* printerWhere(const std::function<bool(const Printer&)>& fits) {
    std::vector<Printer*> fitting;
    for (Printer& printer : printers_) {
      if (fits(printer)) fitting.push_back(&printer);
    }
    return fitting.empty() ? nullptr : oneOf(fitting);
  }
  // A lingering printer is gone once nothing holds it open any more.
  void settle(Printer& printer) {
    if (printer.lingering && !printer.handle && !printer.spooled && !running(printer.name, false) &&
        !running(printer.name, true))
      printer.lingering = false;
  }

  // ---- what the commands carry
  std::string document() {
    static const std::vector<size_t> sizes{0,    1,    63,   64,    65,    511,   512,
                                           4095, 4096, 4097, 65535, 65536, 65537, 150000};
    if (chance(25)) return "";  // the built-in test page
    size_t size = chance(70) ? oneOf(sizes) : static_cast<size_t>(pick(300000));
    SoakDocument doc{"doc" + std::to_string(documents_.size() + 1) + ".bin", std::vector<uint8_t>(size)};
    for (uint8_t& byte : doc.bytes) byte = static_cast<uint8_t>(random_());
    documents_.push_back(doc);
    return " " + doc.name;
  }
  std::string timeout(const char* key = "timeout") {
    static const std::vector<int> timeouts{1, 10, 100, 500, 3000, 30000};
    return chance(50) ? " " + std::string(key) + "=" + std::to_string(oneOf(timeouts)) : "";
  }
  std::string quoted(const std::string& text) { return "\"" + text + "\""; }
  std::string deviceId() {
    static const std::vector<std::string> ids{"MFG:NRV;MDL:Soak;DES:Soak Printer;",
                                              "MFG:ABC;MDL:P100;",
                                              "MANUFACTURER:X;MODEL:Y;",
                                              "DES:;MDL:Empty;",
                                              "CMD:PCL;",
                                              "DESCRIPTION:Very long " + std::string(200, 'x') + ";",
                                              ""};
    return oneOf(ids);
  }
  std::string faults() {
    static const std::vector<std::string> statuses{"STALL_PID", "DEV_NOT_RESPONDING", "CRC", "0xC0000011"};
    std::string text;
    std::vector<std::string> used;
    int count = chance(40) ? 1 + pick(3) : 0;
    for (int index = 0; index < count; index++) {
      std::string transfer = std::string(chance(70) ? "out" : "in") + ":" + std::to_string(1 + pick(4));
      if (std::find(used.begin(), used.end(), transfer) != used.end()) continue;
      used.push_back(transfer);
      switch (pick(4)) {
        case 0:
          text += " stall=" + transfer;
          break;
        case 1:
          text += " fail=" + transfer + ":" + oneOf(statuses);
          break;
        case 2:
          text += " delay=" + transfer + ":" + std::to_string(1 + pick(2000));
          break;
        default:
          text += " hold=" + transfer;
          break;
      }
    }
    return text;
  }

  // ---- the commands
  void oneCommand() {
    using Step = std::function<bool()>;
    std::vector<Step> steps{
        [&] { return plug(); },      [&] { return plug(); },       [&] { return unplug(); },
        [&] { return open(); },      [&] { return close(); },      [&] { return print(); },
        [&] { return print(); },     [&] { return reply(); },      [&] { return read(); },
        [&] { return startJob(); },  [&] { return startJob(); },   [&] { return waitJob(); },
        [&] { return cancelJob(); }, [&] { return sleep(); },      [&] { return wake(); },
        [&] { return waitTime(); },  [&] { return ports(); },      [&] { return queue(); },
        [&] { return show(); },      [&] { return spoolerJob(); }, [&] { return statusChange(); },
        [&] { return reboot(); },    [&] { return locale(); },
    };
    for (int attempt = 0; attempt < 20; attempt++) {
      if (oneOf(steps)()) return;
    }
    line("wait 1");
  }

  bool plug() {
    Printer* printer = printerWhere([](const Printer& p) { return !p.plugged && !p.lingering; });
    if (printer == nullptr) return false;
    std::string command = "plug " + printer->name;
    if (chance(40)) command += " id=" + quoted(deviceId());
    if (chance(20)) command += " serial=none";
    printer->protocol = chance(80) ? 2 : oneOf(std::vector<int>{1, 3});
    if (printer->protocol != 2) command += " protocol=" + std::to_string(printer->protocol);
    if (chance(25)) command += " speed=high";
    line(command + faults());
    printer->plugged = true;
    // The driver runs printers of protocol 1 and 2; the first of them makes port NRVUSB001:.
    pluggedOnce_ = pluggedOnce_ || (printer->protocol != 3 && !asleep_);
    return true;
  }

  bool unplug() {
    if (asleep_) return false;
    Printer* printer = printerWhere([](const Printer& p) { return p.plugged; });
    if (printer == nullptr) return false;
    bool jobs = running(printer->name, false) || running(printer->name, true);
    bool held = printer->handle || printer->spooled || jobs;
    // Whether a background job or the spooler still holds a handle is not sure: then only a
    // surprise removal is, and the printer may linger. An open handle of our own keeps a
    // device from being asked at all: it stays plugged in.
    if (!jobs && !printer->spooled && chance(30)) {
      line("unplug " + printer->name + " safely");
      if (!printer->handle) printer->plugged = false;
      return true;
    }
    line("unplug " + printer->name);
    printer->plugged = false;
    printer->lingering = held;
    return true;
  }

  // What a printer's node shows; the checks compare the port names of printers started at once.
  bool show() {
    Printer* printer = printerWhere([](const Printer& p) { return p.plugged; });
    if (printer == nullptr) return false;
    line("show " + printer->name);
    return true;
  }

  void showAll() {
    for (const Printer& printer : printers_) {
      if (printer.plugged) line("show " + printer.name);
    }
  }

  bool open() {
    if (asleep_) return false;
    // The driver does not run a printer of protocol 3: there is nothing to open.
    Printer* printer =
        printerWhere([](const Printer& p) { return p.plugged && !p.handle && p.protocol != 3; });
    if (printer == nullptr) return false;
    line("open " + printer->name);
    printer->handle = true;
    return true;
  }

  bool close() {
    if (asleep_) return false;
    Printer* printer = printerWhere([&](const Printer& p) { return p.handle && !handleInUse(p); });
    if (printer == nullptr) return false;
    line("close " + printer->name);
    printer->handle = false;
    settle(*printer);
    return true;
  }

  bool print() {
    if (asleep_) return false;
    Printer* printer = printerWhere([&](const Printer& p) { return p.plugged && !running(p.name, false); });
    if (printer == nullptr) return false;
    line("print " + printer->name + document() + timeout());
    return true;
  }

  bool reply() {
    Printer* printer = printerWhere([](const Printer& p) { return p.plugged; });
    if (printer == nullptr) return false;
    line("reply " + printer->name + " " +
         quoted(oneOf(
             std::vector<std::string>{"OK", "STATUS:READY;\\r\\n", "\\x00\\xFF", std::string(100, 'r')})));
    return true;
  }

  std::string readCount() { return std::to_string(oneOf(std::vector<int>{1, 8, 64, 65, 512, 4096})); }

  bool read() {
    if (asleep_) return false;
    Printer* printer = printerWhere([&](const Printer& p) { return p.plugged && !running(p.name, true); });
    if (printer == nullptr) return false;
    line("read " + printer->name + " " + readCount() + timeout());
    return true;
  }

  bool startJob() {
    if (asleep_) return false;
    bool reads = chance(40);
    Printer* printer = printerWhere([&](const Printer& p) { return p.plugged && !running(p.name, reads); });
    if (printer == nullptr) return false;
    Job job{"j" + std::to_string(++jobCount_), printer->name, reads, printer->handle, false};
    line("start " + job.name +
         (reads ? " read " + printer->name + " " + readCount() : " print " + printer->name + document()) +
         timeout());
    jobs_.push_back(job);
    return true;
  }

  bool waitJob() {
    if (jobs_.empty()) return false;
    size_t index = static_cast<size_t>(pick(static_cast<int>(jobs_.size())));
    Job job = jobs_[index];
    line("wait " + job.name);
    jobs_.erase(jobs_.begin() + static_cast<long>(index));
    for (Printer& printer : printers_) settle(printer);
    return true;
  }

  // A job that ended has closed its own handle, so only one on an open handle surely has one to cancel on.
  bool cancelJob() {
    for (Job& job : jobs_) {
      if (job.cancelled || !job.usesOpenHandle) continue;
      line("cancel " + job.name);
      job.cancelled = true;
      return true;
    }
    return false;
  }

  bool sleep() {
    // Only an idle machine sleeps for sure; an open handle vetoes it.
    if (asleep_ || anyHandles()) return false;
    line("sleep " + oneOf(std::vector<std::string>{"S1", "S2", "S3", "S4"}));
    asleep_ = true;
    return true;
  }

  bool wake() {
    if (!asleep_) return false;
    line("wake");
    asleep_ = false;
    showAll();
    return true;
  }

  bool waitTime() {
    line("wait " + std::to_string(oneOf(std::vector<int>{1, 50, 1000, 5000, 60000})));
    return true;
  }

  bool ports() {
    if (asleep_) return false;
    line("ports");
    return true;
  }

  // Queues go on the first printer's port, which stays once a printer has been plugged.
  bool queue() {
    if (asleep_ || !pluggedOnce_ || queues_ >= 3) return false;
    line("printer Q" + std::to_string(++queues_) + " port=NRVUSB001:" + timeout("retry"));
    return true;
  }

  bool spoolerJob() {
    if (asleep_ || queues_ == 0) return false;
    line("job Q" + std::to_string(1 + pick(queues_)) + document() +
         (chance(50) ? " timeout=" + std::to_string(oneOf(std::vector<int>{100, 5000, 60000})) : ""));
    for (Printer& printer : printers_) printer.spooled = printer.spooled || printer.plugged;
    return true;
  }

  bool statusChange() {
    Printer* printer = printerWhere([](const Printer& p) { return p.plugged; });
    if (printer == nullptr) return false;
    std::string after = chance(50) ? " after=" + std::to_string(pick(500)) : "";
    if (chance(50)) {
      line("paper " + printer->name + (chance(50) ? " out" : " in") + after);
    } else {
      line("status " + printer->name + " " +
           oneOf(std::vector<std::string>{"0x18", "0x38", "0x08", "0x00", "0x10"}) + after);
    }
    return true;
  }

  bool reboot() {
    if (asleep_ || !jobs_.empty()) return false;
    line("reboot");
    for (Printer& printer : printers_) {
      printer.handle = false;
      printer.lingering = false;
      printer.spooled = false;
    }
    showAll();
    return true;
  }

  bool locale() {
    line(chance(50) ? "locale 0x0411" : "locale 0x0409");
    return true;
  }

  std::mt19937_64 random_;
  std::vector<Printer> printers_;
  std::vector<Job> jobs_;
  std::vector<SoakDocument> documents_;
  std::string text_;
  bool asleep_ = false;
  bool pluggedOnce_ = false;
  int queues_ = 0;
  int jobCount_ = 0;
};

}  // namespace

SoakScenario writeScenario(uint64_t seed) { return Writer(seed).write(); }

}  // namespace soak
