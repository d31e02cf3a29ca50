#include "boot_demo.h"

#include <sys/stat.h>

#include "kernel/irp_tracker.h"
#include "machine/status_text.h"
#include "machine/symbolizer.h"
#include "machine/text.h"

namespace nrvsim {

namespace {

const char16_t kPrinterInstance[] = u"USB\\VID_0A5F&PID_0027\\5&2D4F3F4&0&1";

void showDispatchTable(const DRIVER_OBJECT& driver, FILE* out) {
  std::fprintf(out, "  dispatch table:\n");
  int refused = 0;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    if (driver.MajorFunction[major] == nrv::defaultDispatch) {
      refused++;
      continue;
    }
    std::fprintf(out, "    %-32s %s\n", nrv::majorFunctionName(major),
                 nrv::describeCodeAddress(reinterpret_cast<const void*>(driver.MajorFunction[major])).c_str());
  }
  std::fprintf(out, "    %-32s %s\n", "AddDevice",
               nrv::describeCodeAddress(reinterpret_cast<const void*>(driver.DriverExtension->AddDevice)).c_str());
  std::fprintf(out, "    %-32s %s\n", "DriverUnload",
               nrv::describeCodeAddress(reinterpret_cast<const void*>(driver.DriverUnload)).c_str());
  std::fprintf(out, "    the other %d major functions are refused by the I/O manager\n", refused);
}

}  // namespace

int runBootDemo(const BootDemoOptions& options, FILE* out) {
  struct stat info;
  if (stat(options.driverModule.c_str(), &info) != 0) {
    std::fprintf(stderr, "nrvsim: driver module '%s' not found\n", options.driverModule.c_str());
    return 1;
  }
  {
    nrv::Machine machine(nrv::MachineOptions{options.profile});
    std::fprintf(out, "[%6llu ms] booted %s; verifier on (pool, IRQL, IRP and spin-lock rules)\n",
                 static_cast<unsigned long long>(machine.scheduler().nowMilliseconds()), machine.profileName());

    std::fprintf(out, "[%6llu ms] loading NRVUSB from %s\n",
                 static_cast<unsigned long long>(machine.scheduler().nowMilliseconds()), options.driverModule.c_str());
    nrv::DriverLoadResult loaded = machine.modules().loadDriver(options.driverModule, "NRVUSB");
    std::fprintf(out, "  DriverEntry returned %s\n", nrv::statusText(loaded.status).c_str());
    if (loaded.driver == nullptr) return 1;
    showDispatchTable(loaded.driver->object, out);

    nrv::PhysicalDevice& printer = machine.plugPhysicalDevice(kPrinterInstance);
    std::fprintf(out, "[%6llu ms] USB device arrived: %s\n",
                 static_cast<unsigned long long>(machine.scheduler().nowMilliseconds()),
                 nrv::toUtf8(printer.instancePath()).c_str());
    NTSTATUS added = nrv::callDriverRoutine(
        "AddDevice routine", reinterpret_cast<const void*>(loaded.driver->extension.AddDevice), [&] {
          nrv::DriverCallScope scope(&loaded.driver->object);
          return loaded.driver->extension.AddDevice(&loaded.driver->object, printer.object());
        });
    std::fprintf(out, "  AddDevice returned %s\n", nrv::statusText(added).c_str());
    if (!NT_SUCCESS(added)) {
      std::fprintf(out, "  this build of the driver does not serve printers yet; the device stays without a "
                        "driver\n");
    }

    std::fprintf(out, "[%6llu ms] shutting down: removing devices, unloading drivers, checking for leaks\n",
                 static_cast<unsigned long long>(machine.scheduler().nowMilliseconds()));
  }
  std::fprintf(out, "  shutdown clean: no pool, IRP or device left behind\n");
  return 0;
}

}  // namespace nrvsim
