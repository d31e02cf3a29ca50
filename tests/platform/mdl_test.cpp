// MDLs: what they describe, partial MDLs as windows on another, and the
// verifier's rules on their life.
#include <gtest/gtest.h>

#include <vector>

#include "death_test.h"
#include "machine/machine.h"

namespace {

TEST(Mdl, DescribesARangeAndPartialMdlsWindowIt) {
  nrv::Machine machine;
  std::vector<UCHAR> buffer(3 * PAGE_SIZE);
  UCHAR* start = buffer.data() + 10;
  PIRP irp = IoAllocateIrp(1, FALSE);
  PMDL whole = IoAllocateMdl(start, 9000, FALSE, FALSE, irp);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(irp->MdlAddress, whole);
  EXPECT_EQ(MmGetMdlVirtualAddress(whole), start);
  EXPECT_EQ(MmGetMdlByteCount(whole), 9000u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(whole, NormalPagePriority), start);

  PMDL secondary = IoAllocateMdl(start, 16, TRUE, FALSE, irp);
  EXPECT_EQ(whole->Next, secondary);

  PMDL window = IoAllocateMdl(start, 9000, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(whole, window, start + 4096, 100);
  EXPECT_EQ(MmGetMdlVirtualAddress(window), start + 4096);
  EXPECT_EQ(MmGetMdlByteCount(window), 100u);
  EXPECT_TRUE(window->MdlFlags & MDL_PARTIAL);
  // Length 0 runs to the end of the source.
  IoBuildPartialMdl(whole, window, start + 8000, 0);
  EXPECT_EQ(MmGetMdlByteCount(window), 1000u);

  IoFreeMdl(window);
  IoFreeMdl(secondary);
  IoFreeMdl(whole);
  irp->MdlAddress = nullptr;
  IoFreeIrp(irp);
}

// A window a host controller mapped is unmapped before it moves on.
TEST(Mdl, MappedWindowIsPreparedForReuse) {
  nrv::Machine machine;
  std::vector<UCHAR> buffer(2 * PAGE_SIZE);
  PMDL whole = IoAllocateMdl(buffer.data(), 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  PMDL window = IoAllocateMdl(buffer.data(), 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(whole, window, buffer.data(), PAGE_SIZE);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(window, NormalPagePriority), buffer.data());
  EXPECT_TRUE(window->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
  MmPrepareMdlForReuse(window);
  EXPECT_FALSE(window->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED));
  IoBuildPartialMdl(whole, window, buffer.data() + PAGE_SIZE, PAGE_SIZE);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(window, NormalPagePriority), buffer.data() + PAGE_SIZE);
  // An MDL that was never mapped needs nothing.
  MmPrepareMdlForReuse(whole);
  IoFreeMdl(window);
  IoFreeMdl(whole);
}

// Freed MDLs and IRPs stay reserved to catch late uses, but a long run does not keep them all.
TEST(Mdl, FreedMdlsAndIrpsAreKeptForAWhileNotForEver) {
  nrv::Machine machine;
  UCHAR byte = 0;
  for (size_t round = 0; round < nrv::MdlTracker::kQuarantine + 100; round++) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoAllocateMdl(&byte, 1, FALSE, FALSE, irp);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(machine.mdls().quarantined(), nrv::MdlTracker::kQuarantine);
  EXPECT_EQ(machine.irps().quarantined(), nrv::IrpTracker::kQuarantine);
}

TEST(Mdl, InjectedFaultFailsTheAllocation) {
  nrv::Machine machine;
  UCHAR byte = 0;
  machine.faults().failNth(nrv::FaultKind::Mdl, 2);
  PMDL first = IoAllocateMdl(&byte, 1, FALSE, FALSE, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(IoAllocateMdl(&byte, 1, FALSE, FALSE, nullptr), nullptr);
  IoFreeMdl(first);
}

using MdlDeathTest = platform_test::DeathTest;

TEST_F(MdlDeathTest, VerifierStopsOnBrokenMdlRules) {
  static UCHAR buffer[256];
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        PMDL mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
        IoFreeMdl(mdl);
        IoFreeMdl(mdl);
      },
      "STOP: MDL_FREED_TWICE.*IoFreeMdl");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        MDL fake{};
        IoFreeMdl(&fake);
      },
      "STOP: INVALID_MDL.*not an MDL of this machine");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        PMDL source = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
        PMDL target = IoAllocateMdl(buffer, 200, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(source, target, buffer + 50, 51);
      },
      "STOP: INVALID_PARTIAL_MDL.*51 bytes at .* run past the end of source MDL");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        PMDL source = IoAllocateMdl(buffer, 200, FALSE, FALSE, nullptr);
        PMDL window = IoAllocateMdl(buffer, 200, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(source, window, buffer, 100);
        MmGetSystemAddressForMdlSafe(window, NormalPagePriority);
        IoBuildPartialMdl(source, window, buffer + 100, 100);
      },
      "STOP: MAPPED_MDL_REBUILT.*still mapped.*MmPrepareMdlForReuse");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
      },
      "STOP: MDLS_NOT_FREED.*MDL .* for 16 bytes .*VerifierStopsOnBrokenMdlRules");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoAllocateMdl(buffer, 16, FALSE, FALSE, irp);
        IoFreeIrp(irp);
      },
      "STOP: IRP_FREED_WITH_MDL");
}

}  // namespace
