// The uninstaller's hardware ID of a printer, and the restart both programs ask for.
#include <setupapi.h>
#include <windows.h>

#include <string>

#include "cleanup_machine.h"
#include "printer_interface.h"

namespace {

TEST(HardwareId, IsTheFirstIdCutToVendorAndProductAndNothingForAnInvalidSet) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    SCOPED_TRACE(nrv::osProfileName(profile));
    CleanupBench bench(profile, SetupVariant::Uninstaller);
    bench.loadDriver();
    bench.plug("MFG:NRV;MDL:Jet A;CLS:PRINTER;", "A1");
    HDEVINFO set;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    {
      nrv::ProcessScope scope(bench.process);
      set = SetupDiGetClassDevsA(&PrinterInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
      ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    }
    char id[22];
    memset(id, 'x', sizeof(id));
    EXPECT_EQ(bench.call<BOOLEAN>("GetHardwareId", set, &device, id), TRUE);
    EXPECT_STREQ(id, "USB\\VID_0A5F&PID_0027");
    memset(id, 'x', sizeof(id));
    EXPECT_EQ(bench.call<BOOLEAN>("GetHardwareId", INVALID_HANDLE_VALUE, &device, id), FALSE);
    EXPECT_EQ(id[0], 'x');
    nrv::ProcessScope scope(bench.process);
    SetupDiDestroyDeviceInfoList(set);
  }
}

TEST(Restart, IsRequestedOnBothSystemsWithTheShutdownPrivilegeWhereThereAreTokens) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    SCOPED_TRACE(nrv::osProfileName(profile));
    CleanupBench bench(profile, SetupVariant::Installer);
    EXPECT_EQ(bench.call<BYTE>("OsKindOfThisSystem"), profile == nrv::OsProfile::Windows98 ? 1 : 2);
    // Without tokens every privilege counts as held; with them an unknown one fails.
    EXPECT_EQ(bench.call<BOOL>("EnablePrivilege", "SeNoSuchPrivilege"), profile == nrv::OsProfile::Windows98);
    EXPECT_FALSE(bench.machine.restartRequested());
    bench.call<void>("RestartComputer");
    EXPECT_TRUE(bench.machine.restartRequested());
  }
}

}  // namespace
