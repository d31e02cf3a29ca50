// The BROKEN driver module, loaded as the machine loads any driver image: each
// of its misbehaviours stops the machine with a report naming the module.
#include <gtest/gtest.h>

#include "broken_driver/broken_requests.h"
#include "machine/machine.h"
#include "death_test.h"

namespace {

// A machine with BROKEN loaded and attached over a physical device, as Plug
// and Play would leave it.
struct BrokenMachine {
  BrokenMachine() {
    nrv::DriverLoadResult loaded = machine.modules().loadDriver(BROKEN_DRIVER_MODULE, "BROKEN");
    EXPECT_EQ(loaded.status, STATUS_SUCCESS);
    PDRIVER_OBJECT driver = &loaded.driver->object;
    nrv::DriverCallScope scope(driver);
    EXPECT_EQ(driver->DriverExtension->AddDevice(driver, physical.object()), STATUS_SUCCESS);
  }
  PDEVICE_OBJECT top() { return machine.devices().top(physical.object()); }
  NTSTATUS control(ULONG code) {
    return machine.io()
        .call(top(), IRP_MJ_DEVICE_CONTROL, 0, nullptr,
              [code](PIRP, PIO_STACK_LOCATION stack) {
                stack->Parameters.DeviceIoControl.IoControlCode = code;
              })
        .status.Status;
  }
  void remove() { machine.io().call(top(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE); }

  nrv::Machine machine;
  nrv::PhysicalDevice& physical = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0001\\5&1");
};

// Shows that the death tests below die of the misbehaviour, not of the set-up.
TEST(BrokenDriver, BehavesWhenNotAskedToMisbehave) {
  BrokenMachine broken;
  EXPECT_NE(broken.top(), broken.physical.object());
  EXPECT_EQ(broken.control(0), STATUS_INVALID_DEVICE_REQUEST);
  broken.remove();
  EXPECT_EQ(broken.top(), broken.physical.object());
}

// What is no driver is refused with the loader's reason, and the machine runs on.
TEST(ModuleLoader, RefusesADriverThatImportsWhatTheKernelDoesNotExport) {
  nrv::Machine machine;
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(RUNTIME_IMPORT_DRIVER_MODULE, "RTIMPORT");
  EXPECT_EQ(loaded.status, STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_EQ(loaded.driver, nullptr);
  EXPECT_EQ(loaded.failure, "it imports malloc, which is no kernel routine");
}

TEST(ModuleLoader, RefusesFilesThatAreNoDriverModule) {
  nrv::Machine machine;
  size_t drivers = machine.modules().drivers().size();
  nrv::DriverLoadResult text = machine.modules().loadDriver(__FILE__, "TEXT");
  EXPECT_EQ(text.status, STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_EQ(text.driver, nullptr);
  EXPECT_NE(text.failure.find("broken_driver_test.cpp"), std::string::npos) << text.failure;
  nrv::DriverLoadResult library = machine.modules().loadDriver("libm.so.6", "LIBM");
  EXPECT_EQ(library.status, STATUS_PROCEDURE_NOT_FOUND);
  EXPECT_EQ(library.failure, "the module exports no DriverEntry");
  EXPECT_EQ(machine.modules().drivers().size(), drivers);
  nrv::DriverLoadResult broken = machine.modules().loadDriver(BROKEN_DRIVER_MODULE, "BROKEN");
  EXPECT_EQ(broken.status, STATUS_SUCCESS);
  EXPECT_TRUE(broken.failure.empty());
}

using BrokenDriverDeathTest = platform_test::DeathTest;

TEST_F(BrokenDriverDeathTest, VerifierCatchesEachMisbehaviour) {
  EXPECT_DEATH(
      BrokenMachine().control(IOCTL_BROKEN_COMPLETE_TWICE),
      "STOP: IRP_COMPLETED_TWICE.*IoCompleteRequest from BROKEN\\.so!.*completeTwice.* is already completed");
  EXPECT_DEATH(
      BrokenMachine().control(IOCTL_BROKEN_PEND_UNMARKED),
      "STOP: PENDING_NOT_MARKED.*the dispatch routine BROKEN\\.so!.*deviceControl.* returned STATUS_PENDING");
  EXPECT_DEATH(
      {
        BrokenMachine broken;
        EXPECT_EQ(broken.control(IOCTL_BROKEN_LEAK_POOL), STATUS_SUCCESS);
        broken.remove();
      },
      "STOP: DRIVER_UNLOADED_WITHOUT_FREEING_POOL.*BROKEN leaves 1 pool block.*"
      "48 bytes of non-paged pool tagged 'Leak' .*allocated by BROKEN\\.so!.*leakPool");
}

}  // namespace
