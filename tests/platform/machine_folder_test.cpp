// A machine kept in a folder: saved and loaded back byte for byte (every kind
// of registry value, names no ASCII text holds, binary files, empty folders,
// the files host modules play), and a damaged folder refused with the file
// and line that is wrong.
#include "machine/machine_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "base/text.h"
#include "machine/machine.h"
#include "machine/registry_text.h"

namespace {

namespace fs = std::filesystem;

constexpr char16_t kKey[] = u"\\Registry\\Machine\\Software\\Norvo\\Caf\u00E9 \u65E5\u672C";

class MachineFolder : public ::testing::Test {
 public:
  MachineFolder() : folder(fs::temp_directory_path() / ("nrv-machine-" + std::to_string(getpid()))) {
    fs::remove_all(folder);
  }
  ~MachineFolder() override { fs::remove_all(folder); }

  std::string read(const std::string& name) {
    std::ifstream in(folder / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void write(const std::string& name, const std::string& text) {
    fs::create_directories((folder / name).parent_path());
    std::ofstream(folder / name, std::ios::binary | std::ios::trunc) << text;
  }
  // The error loading gives, with the folder's own path written DIR.
  std::string loadError() {
    nrv::MachineState state;
    std::string error;
    EXPECT_FALSE(nrv::loadMachine(folder.string(), &state, &error));
    for (size_t at = error.find(folder.string()); at != std::string::npos; at = error.find(folder.string()))
      error.replace(at, folder.string().size(), "DIR");
    return error;
  }
  nrv::MachineState savedMachine() {
    nrv::Machine machine;
    nrv::Registry& registry = machine.registry();
    registry.setString(kKey, u"sz \"quoted\" 100% \u20AC", u"line\nbreak\ttab \"q\" %41 \u00FC\U0001F5A8");
    registry.setString(kKey, u"expand", u"%SystemRoot%\\System32", REG_EXPAND_SZ);
    registry.setMultiString(kKey, u"multi",
                            {u"one", u"two \u65E5", u""});  // an empty string ends the list early
    registry.setMultiString(kKey, u"none", {});
    registry.setDword(kKey, u"dword", 0xFEDCBA98);
    registry.setValue(kKey, u"", REG_BINARY, {0x00, 0xFF, 0x7F, 0x80});
    registry.setValue(kKey, u"odd sz", REG_SZ, {0x41, 0x00, 0x42});
    registry.setValue(kKey, u"sz without NUL", REG_SZ, {0x41, 0x00});
    registry.setValue(kKey, u"short dword", REG_DWORD, {1, 2, 3});
    registry.setValue(kKey, u"empty", REG_NONE, {});
    registry.setValue(kKey, u"big type", 0xFFFFFFFF, {9});
    registry.setValue(kKey, std::u16string(u"lone \xD800 half"), REG_SZ,
                      {0x00, 0xD8, 0x41, 0x00, 0x00, 0x00});
    registry.createKey(u"\\Registry\\Machine\\Software\\Empty Key");
    std::vector<uint8_t> every(256);
    for (size_t index = 0; index < every.size(); index++) every[index] = static_cast<uint8_t>(index);
    machine.files().putFile("C:\\Data\\Binary.bin", every);
    machine.files().putFile("C:\\Data\\Empty.txt", {});
    machine.files().createFolder("C:\\Empty Folder\\Deeper");
    EXPECT_TRUE(machine.files().putModuleFile("C:\\WINNT\\SYSTEM32\\TESTMON.DLL", TEST_MONITOR_MODULE));
    machine.locale().setLcid(0x0411);
    return machine.shutDown();
  }

  fs::path folder;
};

void expectSameState(const nrv::MachineState& loaded, const nrv::MachineState& saved) {
  EXPECT_EQ(loaded.profile, saved.profile);
  EXPECT_EQ(loaded.lcid, saved.lcid);
  EXPECT_EQ(loaded.functionDriverService, saved.functionDriverService);
  EXPECT_EQ(loaded.functionDriverBinding, saved.functionDriverBinding);
  EXPECT_EQ(loaded.spoolerRan, saved.spoolerRan);
  ASSERT_EQ(loaded.registry.size(), saved.registry.size());
  for (size_t index = 0; index < saved.registry.size(); index++) {
    EXPECT_EQ(loaded.registry[index].path, saved.registry[index].path);
    ASSERT_EQ(loaded.registry[index].values.size(), saved.registry[index].values.size());
    for (size_t value = 0; value < saved.registry[index].values.size(); value++) {
      EXPECT_EQ(loaded.registry[index].values[value].name, saved.registry[index].values[value].name);
      EXPECT_EQ(loaded.registry[index].values[value].value, saved.registry[index].values[value].value)
          << nrv::toUtf8(saved.registry[index].values[value].name);
    }
  }
  ASSERT_EQ(loaded.files.size(), saved.files.size());
  for (size_t index = 0; index < saved.files.size(); index++) {
    EXPECT_EQ(loaded.files[index].path, saved.files[index].path);
    EXPECT_EQ(loaded.files[index].folder, saved.files[index].folder);
    EXPECT_EQ(loaded.files[index].bytes, saved.files[index].bytes) << saved.files[index].path;
    EXPECT_EQ(loaded.files[index].hostModule, saved.files[index].hostModule);
  }
}

TEST_F(MachineFolder, RoundTripKeepsEveryByte) {
  nrv::MachineState saved = savedMachine();
  std::string error;
  ASSERT_TRUE(nrv::saveMachine(saved, folder.string(), &error)) << error;
  EXPECT_FALSE(nrv::holdsMachine((folder / "C").string()));
  ASSERT_TRUE(nrv::holdsMachine(folder.string()));
  nrv::MachineState loaded;
  ASSERT_TRUE(nrv::loadMachine(folder.string(), &loaded, &error)) << error;
  expectSameState(loaded, saved);
  // Readable where the bytes allow it, hexadecimal where they do not.
  std::string registry = read("registry.txt");
  EXPECT_NE(registry.find("[\\Registry\\Machine\\Software\\Norvo\\Café 日本]\n"), std::string::npos);
  EXPECT_NE(registry.find("\"dword\" = dword 0xFEDCBA98\n"), std::string::npos);
  EXPECT_NE(registry.find("\"expand\" = expand_sz \"%0025SystemRoot%0025\\System32\"\n"), std::string::npos);
  EXPECT_NE(registry.find("\"none\" = multi_sz\n"), std::string::npos);
  EXPECT_NE(registry.find("\"odd sz\" = hex(1) 41 00 42\n"), std::string::npos);
  EXPECT_NE(registry.find("\"big type\" = hex(4294967295) 09\n"), std::string::npos);
  EXPECT_EQ(read("C/Data/Binary.bin").size(), 256u);
  EXPECT_TRUE(fs::is_directory(folder / "C" / "Empty Folder" / "Deeper"));

  // A machine booted from what was loaded hands over the same again, and saving it writes the same text.
  nrv::MachineState again;
  {
    nrv::Machine machine(loaded);
    again = machine.shutDown();
  }
  expectSameState(again, saved);
  ASSERT_TRUE(nrv::saveMachine(again, folder.string(), &error)) << error;
  EXPECT_EQ(read("registry.txt"), registry);
}

TEST_F(MachineFolder, DamagedFoldersAreRefusedWithFileAndLine) {
  std::string error;
  ASSERT_TRUE(nrv::saveMachine(savedMachine(), folder.string(), &error)) << error;
  std::string manifest = read("machine.txt");
  std::string registry = read("registry.txt");
  auto withLine = [](std::string text, size_t line, const std::string& replacement) {
    size_t start = 0;
    for (size_t index = 1; index < line; index++) start = text.find('\n', start) + 1;
    return text.replace(start, text.find('\n', start) - start, replacement);
  };

  write("machine.txt", withLine(manifest, 2, "profile 95"));
  EXPECT_EQ(loadError(), "DIR/machine.txt:2: the profile is 98 or 2000");
  write("machine.txt", withLine(manifest, 1, "something else"));
  EXPECT_EQ(loadError(), "DIR/machine.txt:1: the first line is not \"nrv machine 1\"");
  write("machine.txt", manifest + "module \"C:\\WINNT\\GONE.DLL\" \"/x.so\"\n");
  EXPECT_EQ(loadError(), "DIR/machine.txt:6: the module's file is not on drive C:");
  write("machine.txt", manifest + "module \"C:\\WINNT\\GONE.DLL\n");
  EXPECT_EQ(loadError(),
            "DIR/machine.txt:6: module takes the quoted machine file and the quoted host module");
  write("machine.txt", manifest + "colour blue\n");
  EXPECT_EQ(loadError(), "DIR/machine.txt:6: unknown entry 'colour'");
  write("machine.txt", "nrv machine 1\n");
  EXPECT_EQ(loadError(), "DIR/machine.txt: the profile is missing");
  write("machine.txt", manifest);

  write("registry.txt", registry + "\"x\" = dword 12\n");
  int lines = static_cast<int>(std::count(registry.begin(), registry.end(), '\n')) + 1;
  EXPECT_EQ(loadError(),
            nrv::format("DIR/registry.txt:%d: a dword is written 0x and eight hexadecimal digits", lines));
  write("registry.txt", registry + "\"x\" = sz \"caf\xE9\"\n");
  EXPECT_EQ(loadError(), nrv::format("DIR/registry.txt:%d: the text is not UTF-8", lines));
  write("registry.txt", registry + "\"x\" = sz \"%00G1\"\n");
  EXPECT_EQ(loadError(),
            nrv::format("DIR/registry.txt:%d: '%%' is not followed by four hexadecimal digits", lines));
  write("registry.txt", registry + "\"x\" = hex(3) 0g\n");
  EXPECT_EQ(loadError(), nrv::format("DIR/registry.txt:%d: '0g' is no byte in hexadecimal", lines));
  write("registry.txt", registry + "[\\Registry\\\\Machine]\n");
  EXPECT_EQ(loadError(),
            nrv::format("DIR/registry.txt:%d: a key path starts with '\\' and has no empty name", lines));
  write("registry.txt", "nrv registry 1\n\"x\" = dword 0x00000001\n");
  EXPECT_EQ(loadError(), "DIR/registry.txt:2: a value comes before any key");
  write("registry.txt", "");
  EXPECT_EQ(loadError(), "DIR/registry.txt:1: the file is empty");
  fs::remove(folder / "registry.txt");
  EXPECT_EQ(loadError().rfind("DIR/registry.txt: cannot be read", 0), 0u);
  write("registry.txt", registry);

  write("C/Bad*Name.txt", "x");
  EXPECT_EQ(loadError(), "DIR/C/Bad*Name.txt: C:\\Bad*Name.txt is no name a machine file can have");
  fs::remove(folder / "C" / "Bad*Name.txt");
  write("C/Data/BINARY.BIN", "x");
  EXPECT_EQ(loadError(), "DIR/C/Data/Binary.bin: its name differs from DIR/C/Data/BINARY.BIN only in case");
  fs::remove(folder / "C" / "Data" / "BINARY.BIN");
  fs::rename(folder / "C" / "WINNT", folder / "WINNT");
  write("C/WINNT", "a file where the system has its folder");
  EXPECT_EQ(loadError(), "DIR/C/WINNT: the system has a folder C:\\WINNT, not a file");
  fs::remove(folder / "C" / "WINNT");
  fs::create_symlink("/etc/hostname", folder / "C" / "link");
  EXPECT_EQ(loadError(), "DIR/C/link: neither a file nor a folder");
  fs::remove(folder / "C" / "link");
  fs::remove_all(folder / "WINNT");
  // Without its system folder the module's file is gone too.
  EXPECT_EQ(loadError(), "DIR/machine.txt:5: the module's file is not on drive C:");
}

// A module whose host file went away is the machine's business, not the
// folder's: it loads, and the driver or monitor then fails to load, saying why.
TEST_F(MachineFolder, AHostModuleThatIsGoneFailsToLoadNotToBeRead) {
  nrv::MachineState saved;
  {
    nrv::Machine machine;
    ASSERT_TRUE(machine.files().putModuleFile("C:\\WINNT\\SYSTEM32\\TESTMON.DLL", TEST_MONITOR_MODULE));
    machine.registerMonitor("Test Monitor", "TESTMON.DLL");
    machine.startSpooler();
    saved = machine.shutDown();
  }
  std::string error;
  ASSERT_TRUE(nrv::saveMachine(saved, folder.string(), &error)) << error;
  std::string manifest = read("machine.txt");
  manifest.replace(manifest.find(TEST_MONITOR_MODULE), std::strlen(TEST_MONITOR_MODULE),
                   "/nonexistent/TESTMON.so");
  write("machine.txt", manifest);
  nrv::MachineState loaded;
  ASSERT_TRUE(nrv::loadMachine(folder.string(), &loaded, &error)) << error;
  nrv::Machine machine(loaded);
  ASSERT_EQ(machine.spooler().monitors().size(), 2u);
  EXPECT_NE(machine.spooler().monitors()[1].failure.find("it cannot be loaded: /nonexistent/TESTMON.so"),
            std::string::npos)
      << machine.spooler().monitors()[1].failure;
}

// Random damage to a registry's text (a fixed seed, so every run is the same):
// the reader either refuses it with a line inside the text or gives keys the
// registry takes, never anything that stops the machine.
TEST_F(MachineFolder, DamagedRegistryTextIsRefusedOrRead) {
  std::string text = nrv::registryText(savedMachine().registry);
  int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
  std::mt19937 random(12);
  const std::string bytes = "%\"[]\\=\n 0x\xC3\xFFz";
  int refused = 0;
  for (int round = 0; round < 3000; round++) {
    std::string damaged = text;
    for (int change = 0; change < 3; change++) {
      size_t at = random() % damaged.size();
      damaged[at] = bytes[random() % bytes.size()];
    }
    std::vector<nrv::RegistryKeyState> keys;
    int line = 0;
    std::string error;
    if (!nrv::parseRegistryText(damaged, &keys, &line, &error)) {
      refused++;
      EXPECT_GE(line, 1);
      EXPECT_LE(line, lines + 1);
      EXPECT_FALSE(error.empty());
      continue;
    }
    nrv::Registry registry;
    nrv::restoreRegistry(registry, keys);
  }
  EXPECT_GT(refused, 100);
}

TEST(RegistryText, QuotedBytesRoundTrip) {
  std::string every;
  for (int byte = 0; byte < 256; byte++) every += static_cast<char>(byte);
  std::string quoted = nrv::quotedBytes(every);
  size_t at = 0;
  std::string back;
  ASSERT_TRUE(nrv::readQuotedBytes(quoted, &at, &back));
  EXPECT_EQ(back, every);
  EXPECT_EQ(at, quoted.size());
}

}  // namespace
