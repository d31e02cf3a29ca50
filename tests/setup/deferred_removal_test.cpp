// Files scheduled for removal at the next start: through WinInit.ini on
// Windows 98 (checked byte for byte), through the session manager on Windows
// 2000, and deleted at once when nothing holds them.
#include <windows.h>

#include <cstring>
#include <iterator>
#include <random>

#include "base/text.h"
#include "cleanup_machine.h"
#include "machine/system_start.h"

namespace {

constexpr char kWinInit98[] = "C:\\WINDOWS\\WININIT.INI";
constexpr char kMonitor98[] = "C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL";
constexpr char kPendingKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";

// The strings of a REG_MULTI_SZ value, the empty ones included, without the list's final NUL.
std::vector<std::string> multiStringsOf(const nrv::RegistryValue& value) {
  std::u16string text(value.bytes.size() / 2, u'\0');
  std::memcpy(text.data(), value.bytes.data(), text.size() * 2);
  if (!text.empty()) text.pop_back();
  std::vector<std::string> strings;
  size_t start = 0;
  for (size_t end; (end = text.find(u'\0', start)) != std::u16string::npos; start = end + 1)
    strings.push_back(nrv::toUtf8(text.substr(start, end - start)));
  return strings;
}

class WinInitFile : public ::testing::Test {
 protected:
  CleanupBench bench{nrv::OsProfile::Windows98, SetupVariant::Uninstaller};

  BOOLEAN removeMonitorFile() { return bench.call<BOOLEAN>("ScheduleDeleteInSystemDir", "NRVUSBMN.DLL"); }
};

TEST_F(WinInitFile, IsCreatedWithTheSectionAndTheLineWhenMissing) {
  bench.putFile(kMonitor98, "image");
  EXPECT_EQ(removeMonitorFile(), TRUE);
  EXPECT_EQ(bench.fileText(kWinInit98), "[Rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL\r\n");
  // Nothing held the file, so it went at once.
  EXPECT_FALSE(bench.machine.files().isFile(kMonitor98));
}

TEST_F(WinInitFile, TakesTheNewLineFirstIntoTheExistingSection) {
  bench.putFile(kWinInit98, "[boot]\r\nshell=x\r\n[rename]\r\nA=B\r\n[later]\r\nz=1\r\n");
  EXPECT_EQ(removeMonitorFile(), TRUE);
  EXPECT_EQ(bench.call<BOOLEAN>("ScheduleDeleteInDriversDir", "NRVUSB.SYS"), TRUE);
  EXPECT_EQ(bench.fileText(kWinInit98),
            "[boot]\r\nshell=x\r\n[rename]\r\n"
            "NUL=C:\\WINDOWS\\SYSTEM32\\DRIVERS\\NRVUSB.SYS\r\n"
            "NUL=C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL\r\n"
            "A=B\r\n[later]\r\nz=1\r\n");
}

TEST_F(WinInitFile, AppendsASectionWhenTheHeaderLacksItsCarriageReturnOrTheLastLineItsBreak) {
  bench.putFile(kWinInit98, "[Rename]\nA=B\nlast");
  EXPECT_EQ(removeMonitorFile(), TRUE);
  EXPECT_EQ(bench.fileText(kWinInit98),
            "[Rename]\nA=B\nlast[Rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL\r\n");
}

TEST_F(WinInitFile, SearchesOnlyTheTextBeforeAZeroByte) {
  std::string text("x=1\r\n", 5);
  text += '\0';
  text += "[Rename]\r\n";
  bench.putFile(kWinInit98, text);
  EXPECT_EQ(removeMonitorFile(), TRUE);
  EXPECT_EQ(bench.fileText(kWinInit98), text + "[Rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL\r\n");
}

TEST_F(WinInitFile, KeepsItsLengthWhenNoMappingOrViewCanBeMade) {
  const std::string old = "[Rename]\r\nA=B\r\n";
  for (uint64_t nth = 1; nth <= 2; nth++) {
    bench.putFile(kWinInit98, old);
    bench.machine.faults().failNth(nrv::FaultKind::UserAllocation,
                                   bench.machine.faults().requests(nrv::FaultKind::UserAllocation) + nth);
    EXPECT_EQ(bench.call<BOOLEAN>("AddWinInitRename", "NUL", "C:\\X"), FALSE) << "allocation " << nth;
    EXPECT_EQ(bench.fileText(kWinInit98), old) << "allocation " << nth;
  }
  bench.machine.faults().clear();
}

TEST_F(WinInitFile, OpenElsewhereWithoutSharingFailsTheLineAndTheSchedule) {
  bench.putFile(kWinInit98, "");
  bench.putFile(kMonitor98, "image");
  nrv::ProcessScope scope(bench.process);
  HANDLE other = CreateFileA(kWinInit98, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(removeMonitorFile(), FALSE);
  // Even so the immediate delete was tried.
  EXPECT_FALSE(bench.machine.files().isFile(kMonitor98));
  CloseHandle(other);
  EXPECT_EQ(bench.fileText(kWinInit98), "");
}

// What the edit must give, written apart from the routine: the line first in
// the first section whose header is found (up to the first zero byte), else a
// new section straight after the old text.
std::string expectedWinInit(const std::string& old, const std::string& line) {
  std::string searched = old.substr(0, old.find('\0'));
  std::string folded = searched;
  for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  size_t header = folded.find("[rename]\r\n");
  if (header == std::string::npos) return old + "[Rename]\r\n" + line;
  std::string result = old;
  return result.insert(header + 10, line);
}

TEST_F(WinInitFile, RandomContentsGetTheLineWhereTheSystemWillReadIt) {
  const char* pieces[] = {"[Rename]\r\n", "[RENAME]\r\n", "[rename]\n", "[Rename]", "\r\n", "\n", "A=B",
                          "NUL=C:\\X\r\n", "[boot]\r\n", std::string(1, '\0').c_str(), "[Ren", "ame]\r\n", "\xE9"};
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; round++) {
    std::string old;
    for (int count = random() % 8; count > 0; count--) {
      size_t piece = random() % std::size(pieces);
      old += piece == 9 ? std::string(1, '\0') : std::string(pieces[piece]);
    }
    bench.putFile(kWinInit98, old);
    ASSERT_EQ(bench.call<BOOLEAN>("AddWinInitRename", "NUL", "C:\\F.SYS"), TRUE);
    ASSERT_EQ(bench.fileText(kWinInit98), expectedWinInit(old, "NUL=C:\\F.SYS\r\n")) << "round " << round;
  }
}

TEST(FindTextNoCase, FindsTheFirstMatchIgnoringTheCaseOfAsciiLettersOnly) {
  CleanupBench bench(nrv::OsProfile::Windows98, SetupVariant::Uninstaller);
  char text[] = "ab[RENAME]\r\n[rename]\r\n";
  char accented[] = "[R\xC9NAME]\r\n";
  char empty[] = "";
  EXPECT_EQ(bench.call<LPSTR>("FindTextNoCase", text, "[Rename]\r\n"), text + 2);
  EXPECT_EQ(bench.call<LPSTR>("FindTextNoCase", accented, "[R\xE9NAME]\r\n"), nullptr);
  EXPECT_EQ(bench.call<LPSTR>("FindTextNoCase", empty, "[Rename]\r\n"), nullptr);
  EXPECT_EQ(bench.call<LPSTR>("FindTextNoCase", text, "[Rename]\r\nx"), nullptr);
}

// Each routine with the folder it names, on both systems.
struct ScheduledFile {
  const char* routine;
  const char* name;
  const char* path98;
  const char* path2000;
};

const ScheduledFile kScheduledFiles[] = {
    {"ScheduleDeleteInSystemDir", "NRVUSBUN.EXE", "C:\\WINDOWS\\SYSTEM\\NRVUSBUN.EXE",
     "C:\\WINNT\\SYSTEM32\\NRVUSBUN.EXE"},
    {"ScheduleDeleteInDriversDir", "NRVUSB.SYS", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\NRVUSB.SYS",
     "C:\\WINNT\\SYSTEM32\\DRIVERS\\NRVUSB.SYS"},
    {"ScheduleDeleteInWindowsDir", "INF\\OTHER\\NRVUSB.INF", "C:\\WINDOWS\\INF\\OTHER\\NRVUSB.INF",
     "C:\\WINNT\\INF\\OTHER\\NRVUSB.INF"},
};

TEST(DeferredRemoval, EachRoutineSchedulesAFileInUseInItsFolderAsItsSystemAllows) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    for (const ScheduledFile& file : kScheduledFiles) {
      SCOPED_TRACE(std::string(nrv::osProfileName(profile)) + " " + file.routine);
      CleanupBench bench(profile, SetupVariant::Uninstaller);
      bool is98 = profile == nrv::OsProfile::Windows98;
      std::string path = is98 ? file.path98 : file.path2000;
      if (!is98 || std::string(file.routine) != "ScheduleDeleteInDriversDir") {
        bench.putFile(path, "bytes");
        bench.machine.files().markInUse(path, +1);
      }
      EXPECT_EQ(bench.call<BOOLEAN>(file.routine, file.name), TRUE);
      std::string winInit =
          bench.fileText(std::string(bench.machine.files().windowsDirectory()) + "\\WININIT.INI");
      std::optional<nrv::RegistryValue> pending =
          bench.machine.registry().value(nrv::toUtf16(kPendingKey), u"PendingFileRenameOperations");
      if (is98) {
        EXPECT_EQ(winInit, "[Rename]\r\nNUL=" + path + "\r\n");
        EXPECT_FALSE(pending.has_value());
      } else {
        EXPECT_EQ(winInit, "(none)");
        ASSERT_TRUE(pending.has_value());
        EXPECT_EQ(multiStringsOf(*pending), (std::vector<std::string>{"\\??\\" + path, ""}));
        EXPECT_TRUE(bench.machine.files().isFile(path));
        bench.machine.files().markInUse(path, -1);
      }
      if (is98 && bench.machine.files().isFile(path)) bench.machine.files().markInUse(path, -1);
    }
  }
}

// The driver and the monitor are loaded while they are scheduled: they stay
// until the next start, which removes them before either could load again.
TEST(DeferredRemoval, LoadedFilesGoAtTheNextStartOnBothSystems) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    SCOPED_TRACE(nrv::osProfileName(profile));
    bool is98 = profile == nrv::OsProfile::Windows98;
    std::string driver;
    std::string monitor;
    nrv::MachineState state;
    {
      CleanupBench bench(profile, SetupVariant::Uninstaller);
      bench.loadDriver();
      bench.startSpooler();
      nrv::FileSystem& files = bench.machine.files();
      driver = (is98 ? files.systemDirectory() : files.windowsDirectory() + "\\SYSTEM32\\DRIVERS") +
               "\\NRVUSB.SYS";
      monitor = files.systemDirectory() + "\\NRVUSBMN.DLL";
      EXPECT_EQ(bench.call<BOOLEAN>(is98 ? "ScheduleDeleteInSystemDir" : "ScheduleDeleteInDriversDir",
                                    "NRVUSB.SYS"),
                TRUE);
      EXPECT_EQ(bench.call<BOOLEAN>("ScheduleDeleteInSystemDir", "NRVUSBMN.DLL"), TRUE);
      EXPECT_TRUE(files.isFile(driver));
      EXPECT_TRUE(files.isFile(monitor));
      state = bench.shutDown();
    }
    nrv::Machine next(state);
    std::vector<std::string> carriedOut;
    for (const nrv::StartFileOperation& operation : next.start().fileOperations)
      carriedOut.push_back(operation.text + " " + operation.outcome);
    if (is98) {
      // Each line went first into the section: the monitor's line stands above the driver's.
      EXPECT_EQ(carriedOut,
                (std::vector<std::string>{"NUL=" + monitor + " deleted", "NUL=" + driver + " deleted",
                                          "WININIT.INI -> WININIT.BAK renamed"}));
      EXPECT_TRUE(next.files().isFile(next.files().windowsDirectory() + "\\WININIT.BAK"));
      EXPECT_FALSE(next.files().isFile(next.files().windowsDirectory() + "\\WININIT.INI"));
    } else {
      EXPECT_EQ(carriedOut.size(), 2u);
    }
    EXPECT_FALSE(next.files().isFile(driver));
    EXPECT_FALSE(next.files().isFile(monitor));
    EXPECT_EQ(next.start().driver.driver, nullptr);
  }
}

TEST(DeferredRemoval, APathThatDoesNotFitIsNeitherScheduledNorDeleted) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    SCOPED_TRACE(nrv::osProfileName(profile));
    CleanupBench bench(profile, SetupVariant::Uninstaller);
    std::string system = bench.machine.files().systemDirectory();
    // The longest name that fits: the path takes all 259 characters.
    std::string longest(259 - system.size() - 1, 'A');
    bench.putFile(system + "\\" + longest, "kept");
    // One character more; cut short, it would name the file above.
    EXPECT_EQ(bench.call<BOOLEAN>("ScheduleDeleteInSystemDir", (longest + "B").c_str()), FALSE);
    EXPECT_EQ(bench.call<BOOLEAN>("ScheduleDeleteInWindowsDir", std::string(300, 'C').c_str()), FALSE);
    EXPECT_EQ(bench.fileText(system + "\\" + longest), "kept");
    EXPECT_EQ(bench.fileText(bench.machine.files().windowsDirectory() + "\\WININIT.INI"), "(none)");
    EXPECT_FALSE(bench.machine.registry()
                     .value(nrv::toUtf16(kPendingKey), u"PendingFileRenameOperations")
                     .has_value());
    // The longest that fits is scheduled.
    EXPECT_EQ(bench.call<BOOLEAN>("ScheduleDeleteInSystemDir", longest.c_str()), TRUE);
    EXPECT_FALSE(bench.machine.files().isFile(system + "\\" + longest));
  }
}

}  // namespace
