// A printer FDO on a machine, set up as Plug and Play would leave it after
// AddDevice and start: attached above a bus device, its interface enabled, one
// baseline request count, and a selected interface with a number of bulk pipes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "machine/machine.h"
#include "nrvusb.h"

class PrinterFdoTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the selected interface with one of this many pipes.
  void selectInterface(ULONG pipeCount);
  // Opens the FDO through its interface; the file stays open until close or shutdown.
  NTSTATUS open(const std::u16string& fileName, PFILE_OBJECT* file = nullptr);
  void close(PFILE_OBJECT file);

  nrv::Machine machine;
  nrv::LoadedDriver* driver = nullptr;
  nrv::PhysicalDevice* bus = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDeviceExtension extension = nullptr;
  std::u16string linkName;
};
