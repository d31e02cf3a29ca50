// kernel32 on the machine's files: the profile's folders, creation
// dispositions, reading and writing, sharing and the files that cannot be
// deleted while in use, mappings that grow their file, moves now and at the
// next start.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "kernel/registry.h"
#include "machine/machine.h"

namespace {

using nrv::OsProfile;

class Files : public ::testing::TestWithParam<OsProfile> {
 public:
  bool win98() const { return GetParam() == OsProfile::Windows98; }
  std::string system() { return machine.files().systemDirectory(); }
  std::string file(const char* name) { return system() + "\\" + name; }

  HANDLE open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  void put(const std::string& path, const std::string& text) {
    machine.files().putFile(path, std::vector<uint8_t>(text.begin(), text.end()));
  }
  std::string text(const std::string& path) {
    std::vector<uint8_t> bytes = machine.files().fileBytes(path).value_or(std::vector<uint8_t>{});
    return std::string(bytes.begin(), bytes.end());
  }

  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
};

TEST_P(Files, TheProfilesFoldersAreThere) {
  char buffer[MAX_PATH];
  std::string windows = win98() ? "C:\\WINDOWS" : "C:\\WINNT";
  std::string systemFolder = windows + (win98() ? "\\SYSTEM" : "\\SYSTEM32");
  EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), windows.size());
  EXPECT_EQ(std::string(buffer), windows);
  EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), systemFolder.size());
  EXPECT_EQ(std::string(buffer), systemFolder);
  EXPECT_EQ(GetSystemDirectoryA(buffer, 5), systemFolder.size() + 1)
      << "a short buffer hears the size it needs";
  EXPECT_TRUE(machine.files().isFolder(windows + "\\inf\\other"));
  EXPECT_EQ(machine.files().isFolder(systemFolder + "\\DRIVERS"), !win98());
}

TEST_P(Files, CreationDispositionsAndNames) {
  std::string path = file("A.TXT");
  EXPECT_EQ(open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HANDLE created = open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(created, "hello", 5, &written, nullptr));
  EXPECT_TRUE(CloseHandle(created));

  EXPECT_EQ(open(file("a.txt"), GENERIC_READ, 0, CREATE_NEW), INVALID_HANDLE_VALUE) << "names ignore case";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  HANDLE again = open(file("a.Txt"), GENERIC_READ, 0, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
      << "OPEN_ALWAYS tells it found the file";
  EXPECT_EQ(GetFileSize(again, nullptr), 5u);
  EXPECT_TRUE(CloseHandle(again));
  HANDLE truncated = open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(truncated, nullptr), 0u);
  EXPECT_TRUE(CloseHandle(truncated));

  struct Bad {
    std::string path;
    DWORD error;
  } bad[] = {{system() + "\\NO\\A.TXT", ERROR_PATH_NOT_FOUND},
             {"D:\\A.TXT", ERROR_PATH_NOT_FOUND},
             {system() + "\\A?.TXT", ERROR_INVALID_NAME},
             {system() + "\\A.TXT\\", ERROR_INVALID_NAME},
             {system() + "\\" + std::string(MAX_PATH, 'L'), ERROR_FILENAME_EXCED_RANGE},
             {system(), ERROR_ACCESS_DENIED}};
  for (const Bad& each : bad) {
    EXPECT_EQ(open(each.path, GENERIC_READ, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE) << each.path;
    EXPECT_EQ(GetLastError(), each.error) << each.path;
  }
}

TEST_P(Files, ReadWritePositionAndEnd) {
  HANDLE handle = open(file("B.BIN"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  EXPECT_TRUE(WriteFile(handle, "0123456789", 10, &count, nullptr));
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(SetFilePointer(handle, -4, nullptr, FILE_END), 6u);
  char buffer[16] = {};
  EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "6789");
  EXPECT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(count, 0u) << "at the end a read takes nothing and succeeds";
  EXPECT_EQ(SetFilePointer(handle, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));

  EXPECT_EQ(SetFilePointer(handle, 3, nullptr, FILE_BEGIN), 3u);
  EXPECT_TRUE(SetEndOfFile(handle));
  EXPECT_EQ(GetFileSize(handle, nullptr), 3u);
  EXPECT_EQ(SetFilePointer(handle, 6, nullptr, FILE_BEGIN), 6u);
  EXPECT_TRUE(SetEndOfFile(handle));
  EXPECT_EQ(text(file("B.BIN")), std::string("012\0\0\0", 6)) << "growing adds zeros";
  EXPECT_TRUE(CloseHandle(handle));

  HANDLE reader = open(file("B.BIN"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_TRUE(CloseHandle(reader));
}

// What an open shares decides what later opens and deletions may do; a file
// in use as an image cannot be deleted at all, nor written over, only read.
TEST_P(Files, SharingAndFilesInUse) {
  put(file("C.DLL"), "image");
  HANDLE exclusive = open(file("C.DLL"), GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(file("C.DLL"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileA(file("C.DLL").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(exclusive));

  HANDLE shared = open(file("C.DLL"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE second = open(file("C.DLL"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(second, INVALID_HANDLE_VALUE) << "readers that share reading";
  EXPECT_EQ(open(file("C.DLL"), GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "nobody shares writing";
  EXPECT_TRUE(CloseHandle(shared));
  EXPECT_TRUE(CloseHandle(second));

  // Shared for deletion, the file goes with its last handle and opens no more meanwhile.
  HANDLE deletable = open(file("C.DLL"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  EXPECT_TRUE(DeleteFileA(file("C.DLL").c_str()));
  EXPECT_EQ(open(file("C.DLL"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(deletable));
  EXPECT_FALSE(machine.files().isFile(file("C.DLL")));

  put(file("D.SYS"), "driver");
  machine.files().markInUse(file("D.SYS"), 1);
  EXPECT_FALSE(DeleteFileA(file("D.SYS").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(open(file("D.SYS"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "the image is not written over";
  EXPECT_EQ(open(file("D.SYS"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE)
      << "the loader reads it";
  HANDLE reader = open(file("D.SYS"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "a reader that shares reading";
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_EQ(machine.files().fileBytes(file("D.SYS")), std::vector<uint8_t>({'d', 'r', 'i', 'v', 'e', 'r'}));
  machine.files().markInUse(file("D.SYS"), -1);
  EXPECT_TRUE(DeleteFileA(file("d.sys").c_str()));
  EXPECT_FALSE(DeleteFileA(file("D.SYS").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A mapping larger than its file grows the file with zeros; what a view
// holds goes into the file when it is unmapped; a mapped file is not cut.
TEST_P(Files, MappingsGrowTheirFileAndViewsWriteBack) {
  put(file("E.INI"), "[X]\r\n");
  HANDLE handle = open(file("E.INI"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READWRITE, 0, 5 + 7, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetFileSize(handle, nullptr), 12u);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 12), std::string("[X]\r\n\0\0\0\0\0\0\0", 12));
  std::memcpy(view + 5, "A=1\r\n", 5);
  EXPECT_EQ(SetFilePointer(handle, 10, nullptr, FILE_BEGIN), 10u);
  EXPECT_FALSE(SetEndOfFile(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_USER_MAPPED_FILE));
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_TRUE(SetEndOfFile(handle));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(text(file("E.INI")), "[X]\r\nA=1\r\n");

  HANDLE reader = open(file("E.INI"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_EQ(CreateFileMappingA(reader, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE readOnly = CreateFileMappingA(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(readOnly));
  EXPECT_TRUE(CloseHandle(reader));
}

// A move now renames; a move at the next start is the session manager's on
// Windows 2000, kept as pairs of paths, and not Windows 98's to make.
TEST_P(Files, MovesNowAndAtTheNextStart) {
  put(file("F.OLD"), "f");
  put(file("G.OLD"), "g");
  EXPECT_TRUE(MoveFileExA(file("F.OLD").c_str(), file("F.NEW").c_str(), 0));
  EXPECT_EQ(text(file("F.NEW")), "f");
  EXPECT_FALSE(MoveFileExA(file("G.OLD").c_str(), file("F.NEW").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE open = this->open(file("F.NEW"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  EXPECT_FALSE(MoveFileExA(file("G.OLD").c_str(), file("F.NEW").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "an open file is not replaced";
  EXPECT_TRUE(CloseHandle(open));
  EXPECT_TRUE(MoveFileExA(file("G.OLD").c_str(), file("F.NEW").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(text(file("F.NEW")), "g");
  EXPECT_FALSE(MoveFileExA(file("F.NEW").c_str(), nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  BOOL first = MoveFileExA(file("F.NEW").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  BOOL second = MoveFileExA(file("X.OLD").c_str(), file("X.NEW").c_str(),
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
  std::optional<nrv::RegistryValue> pending =
      machine.registry().value(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager",
                               u"PendingFileRenameOperations");
  if (win98()) {
    EXPECT_FALSE(first);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_FALSE(second);
    EXPECT_FALSE(pending);
  } else {
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->type, static_cast<ULONG>(REG_MULTI_SZ));
    std::u16string expected = u"\\??\\" + nrv::toUtf16(file("F.NEW")) + std::u16string(2, u'\0') + u"\\??\\" +
                              nrv::toUtf16(file("X.OLD")) + u'\0' + u"!\\??\\" + nrv::toUtf16(file("X.NEW")) +
                              std::u16string(2, u'\0');
    EXPECT_EQ(
        std::u16string(reinterpret_cast<const char16_t*>(pending->bytes.data()), pending->bytes.size() / 2),
        expected);
  }
  EXPECT_TRUE(machine.files().isFile(file("F.NEW"))) << "a move at the next start leaves the file till then";
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, Files, ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<OsProfile>& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
