// Low-resources simulation: exactly the chosen allocations fail, and a stop
// report says which faults were armed.
#include <gtest/gtest.h>

#include <vector>

#include "test_stack.h"
#include "death_test.h"

namespace {

constexpr ULONG kOneTag = 0x31656E4F;  // "One1"
constexpr ULONG kTwoTag = 0x326F7754;  // "Two2"

class FaultInjection : public ::testing::Test {
 protected:
  nrv::Machine machine;
  nrv::FaultInjector& faults = machine.faults();
};

TEST_F(FaultInjection, NthPoolAllocationAloneFails) {
  uint64_t before = faults.requests(nrv::FaultKind::Pool);
  faults.failNth(nrv::FaultKind::Pool, before + 3);
  std::vector<void*> blocks;
  for (int index = 0; index < 5; index++) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kOneTag));

  for (int index = 0; index < 5; index++) EXPECT_EQ(blocks[index] == nullptr, index == 2) << index;
  EXPECT_EQ(faults.requests(nrv::FaultKind::Pool), before + 5);
  EXPECT_EQ(faults.failures(), 1u);
  for (void* block : blocks) {
    if (block != nullptr) ExFreePool(block);
  }
}

TEST_F(FaultInjection, TaggedAllocationsFailUntilCleared) {
  faults.failTag(kOneTag);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kOneTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOneTag), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTwoTag);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);

  faults.clear();
  void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kOneTag);
  EXPECT_NE(again, nullptr);
  ExFreePool(again);
}

TEST_F(FaultInjection, IrpAllocationsFailByTheirOwnCount) {
  platform_test::TestStack stack(machine, 1);
  uint64_t poolBefore = faults.requests(nrv::FaultKind::Pool);
  faults.failNth(nrv::FaultKind::Irp, faults.requests(nrv::FaultKind::Irp) + 1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  PIRP irp = IoAllocateIrp(2, FALSE);
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);

  // Requests the I/O manager builds for a driver are IRPs too.
  faults.failNth(nrv::FaultKind::Irp, faults.requests(nrv::FaultKind::Irp) + 1);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(
      IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS),
                                    stack.top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
      nullptr);
  EXPECT_EQ(faults.requests(nrv::FaultKind::Pool), poolBefore);
}

using FaultInjectionDeathTest = platform_test::DeathTest;

TEST_F(FaultInjectionDeathTest, StopReportNamesTheArmedFaults) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.faults().failNth(nrv::FaultKind::Pool, 7);
        machine.faults().failTag(kTwoTag);
        ExFreePool(&machine);
      },
      "STOP: BAD_POOL_CALLER.*"
      "fault injection: pool allocation #7 fails; every allocation tagged 'Two2' fails");
}

}  // namespace
