#include "machine/machine.h"

#include "base/bugcheck.h"
#include "base/text.h"
#include "machine/driver_services.h"
#include "user/printer_installation.h"

namespace nrv {

namespace {

constexpr const char* kBusService = "usbhub";

PDRIVER_OBJECT startBusDriver(ModuleLoader& modules) {
  return &modules.startDriver(busDriverEntry, kBusService).driver->object;
}

std::optional<DriverInf> driverInfOf(const std::optional<DriverBinding>& binding) {
  if (!binding) return std::nullopt;
  return DriverInf{toUtf16(binding->infName), toUtf16(binding->className), toUtf16(binding->classGuid),
                   toUtf16(binding->description), toUtf16(binding->provider)};
}

}  // namespace

Machine::Machine(MachineOptions options)
    : options_(options),
      threads_(scheduler_),
      devices_(faults_, spinLockOrder_),
      files_(options_.profile),
      modules_(pool_, files_),
      io_(devices_, irps_, mdls_, interfaces_, [this](PDEVICE_OBJECT device) { pnp_.fileClosed(device); }),
      pnp_(options_.profile, scheduler_, threads_, devices_, irps_, io_, registry_),
      power_(scheduler_, threads_, irps_, devices_, faults_),
      kernel_{options_.profile, scheduler_,  faults_,   pool_, spinLockOrder_, irps_, mdls_,
              devices_,         interfaces_, registry_, pnp_,  power_,         waits_},
      current_(kernel_),
      busDriver_(options_.profile, startBusDriver(modules_), devices_, interfaces_, registry_),
      spooler_(options_.profile, registry_, files_, scheduler_),
      messageBoxes_(locale_),
      user_{options_.profile, scheduler_, threads_, faults_,  locale_, registry_,    io_,
            interfaces_,      devices_,   pnp_,     spooler_, files_,  messageBoxes_} {
  pnp_.setChildIdentified([this](const DeviceNode& child) {
    installPrinterDevice(PrinterInstallationServices{options_.profile, registry_, locale_, spooler_}, child);
  });
  addUsbBus();
}

Machine::Machine(const MachineState& state, UsbTrafficListener* usbTraffic)
    : Machine(MachineOptions{state.profile, usbTraffic}) {
  bootFrom(state);
}

Machine::~Machine() {
  if (!off_) shutdown();
}

// The disk first, then what the disk says to run: pending file operations
// before any image is loaded (nothing is in use yet), then the driver, the
// spooler with the monitors still registered, and the printers on the bus.
void Machine::bootFrom(const MachineState& state) {
  restoreRegistry(registry_, state.registry);
  restoreFiles(files_, state.files);
  locale_.setLcid(state.lcid);
  start_.fileOperations = carryOutPendingFileOperations(options_.profile, registry_, files_, locale_);
  if (!state.functionDriverService.empty()) {
    start_.driverService = state.functionDriverService;
    start_.driverImage = serviceImageFile(registry_, files_, state.functionDriverService).value_or("");
    start_.driver = loadFunctionDriver(state.functionDriverService, state.functionDriverBinding);
  }
  if (state.spoolerRan) {
    startSpooler();
    start_.spoolerStarted = true;
  }
  for (const PrinterConfig& printer : state.printers)
    start_.printers.push_back(&usb().plug(std::make_unique<SimulatedPrinter>(printer)));
}

DriverLoadResult Machine::loadFunctionDriver(const std::string& service,
                                             std::optional<DriverBinding> binding) {
  functionDriverService_ = service;
  functionDriverBinding_ = binding;
  std::optional<std::string> image = serviceImageFile(registry_, files_, service);
  if (!image) {
    return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr,
            "its service key " + toUtf8(serviceKeyPath(service)) + " has no ImagePath"};
  }
  DriverLoadResult loaded = modules_.loadDriverImage(*image, service);
  if (loaded.driver != nullptr) {
    std::optional<DriverInf> inf = driverInfOf(binding);
    pnp_.setFunctionDriver(&loaded.driver->object, inf ? &*inf : nullptr);
  }
  return loaded;
}

void Machine::bindFunctionDriver(const DriverBinding& binding) {
  functionDriverBinding_ = binding;
  DriverInf inf = *driverInfOf(binding);
  pnp_.setFunctionDriver(pnp_.functionDriver(), &inf);
}

MachineState Machine::shutDown() {
  if (off_) bugCheck("INVALID_PARAMETER", "the machine was shut down already");
  shutdown();
  off_ = true;
  MachineState state;
  state.profile = options_.profile;
  state.lcid = locale_.lcid();
  state.registry = captureRegistry(registry_);
  state.files = captureFiles(files_);
  state.functionDriverService = functionDriverService_;
  state.functionDriverBinding = functionDriverBinding_;
  state.spoolerRan = spooler_.process() != nullptr;
  return state;
}

UsbBus& Machine::addUsbBus() {
  unsigned number = static_cast<unsigned>(usbBuses_.size()) + 1;
  usbBuses_.push_back(std::make_unique<UsbBus>(number, busDriver_, pnp_, power_, scheduler_, mdls_));
  usbBuses_.back()->setTrafficListener(options_.usbTraffic);
  return *usbBuses_.back();
}

Process& Machine::startProcess(std::string name) {
  processes_.push_back(std::make_unique<Process>(std::move(name), user_));
  return *processes_.back();
}

ProgramRun Machine::runProgram(const std::string& file) {
  if (std::optional<ProgramRun> refusal = programRefusal(files_, file)) return *refusal;
  return runProgramIn(startProcess(file.substr(file.rfind('\\') + 1)), files_, file);
}

void Machine::registerMonitor(const std::string& name, const std::string& driverFile) {
  registry_.setString(u"\\Registry\\Machine\\" + toUtf16(Spooler::kMonitorsKey) + u"\\" + locale_.fromAnsi(name),
                      u"Driver", locale_.fromAnsi(driverFile));
}

void Machine::startSpooler() { spooler_.start(startProcess("spooler")); }

void Machine::sleep(uint64_t milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds * Scheduler::kUnitsPerMillisecond);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Like a shutdown with the verifier on: everything the drivers took must have
// been given back by the time they are unloaded.
void Machine::shutdown() {
  // A job waiting on a printer for ever would keep its thread running: once
  // the spooler has waited for it as long as Windows waits for a service to
  // stop, the power goes, and with it every printer.
  spooler_.endJobs([this] {
    for (auto& bus : usbBuses_) {
      for (UsbDevice* device : bus->devices()) {
        if (device->connected()) bus->unplug(*device);
      }
    }
  });
  threads_.joinAll();
  spooler_.stop();
  // Programs end before the system: what they leave open is theirs.
  for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
    if (!(*process)->ended()) (*process)->end();
  }
  threads_.joinAll();
  std::string power = power_.describeOutstanding() + busDriver_.power().describeHeld();
  if (!power.empty())
    bugCheck("POWER_IRPS_NOT_FINISHED", "power IRPs are still pending at shutdown:\n" + power);
  io_.closeAll();
  pnp_.removeAll();
  for (auto& bus : usbBuses_) {
    bus->unplugAll();
    bus->stop();
  }
  busDriver_.removeAll();
  // Removal may have started Plug and Play work of its own.
  threads_.joinAll();
  modules_.unloadAll();
  std::string irps = irps_.describeOutstanding();
  if (!irps.empty()) bugCheck("IRPS_NOT_FREED", "IRPs still exist at shutdown:\n" + irps);
  std::string mdls = mdls_.describeOutstanding();
  if (!mdls.empty()) bugCheck("MDLS_NOT_FREED", "MDLs still exist at shutdown:\n" + mdls);
  std::string handles = registry_.describeOpenHandles();
  if (!handles.empty())
    bugCheck("KERNEL_HANDLES_NOT_CLOSED", "registry keys are still open at shutdown:\n" + handles);
  std::vector<PoolBlock> leaked = pool_.outstanding(nullptr);
  if (!leaked.empty()) {
    bugCheck("POOL_NOT_FREED", format("%zu pool block(s) are still allocated at shutdown:\n", leaked.size()) +
                                   PoolTracker::describe(leaked));
  }
}

}  // namespace nrv
