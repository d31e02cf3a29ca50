// Driver tests on a printer bench: a machine with printers on its USB bus.
#pragma once

#include <gtest/gtest.h>

#include "printer_bench.h"

class PrinterOnBusTest : public ::testing::Test, public PrinterBench {
 protected:
  explicit PrinterOnBusTest(nrv::OsProfile profile = nrv::OsProfile::Windows2000) : PrinterBench(profile) {}
};
