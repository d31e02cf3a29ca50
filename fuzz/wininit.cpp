// wininit: the setup programs' WinInit.ini editing. The input is the file's
// contents before the edit (or no file) and the line's two names;
// AddWinInitRename, loaded in a setup process of a Windows 98 machine as the
// uninstaller carries it, adds the line, and the file must come out as the
// system will read it: the line first in the [Rename] section, or the section
// added at the end. Then, when asked, the machine restarts and carries out
// the file's lines, so its start reads the same bytes.
//
// Records: 'F' the file's bytes, 'T' the target ("NUL" deletes), 'S' the
// source, 'O' options (bit 0: restart afterwards).
#include "fuzz_records.h"
#include "machine/machine.h"
#include "resident_module.h"

namespace {

constexpr char kWinInit[] = "C:\\WINDOWS\\WININIT.INI";

// Where the system looks: the first "[Rename]" line, letters in any case,
// before the first zero byte; the new line goes right after it.
std::string expectedFile(const std::string& old, const std::string& line) {
  std::string folded = old.substr(0, old.find('\0'));
  for (char& c : folded) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  size_t header = folded.find("[rename]\r\n");
  if (header == std::string::npos) return old + "[Rename]\r\n" + line;
  return std::string(old).insert(header + 10, line);
}

std::string fileText(nrv::Machine& machine) {
  std::optional<std::vector<uint8_t>> bytes = machine.files().fileBytes(kWinInit);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keepResident(CLEANUN_MODULE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<std::string> old;
  std::string target = "NUL";
  std::string source = "C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL";
  uint8_t options = 0;
  for (const FuzzRecord& record : readRecords(data, size)) {
    if (record.tag == 'F') old = record.text();
    if (record.tag == 'T') target = record.cString();
    if (record.tag == 'S') source = record.cString();
    if (record.tag == 'O') options = record.byte(0);
  }
  auto owned = std::make_unique<nrv::Machine>(nrv::MachineOptions{nrv::OsProfile::Windows98});
  nrv::Machine& machine = *owned;
  if (old) machine.files().putFile(kWinInit, std::vector<uint8_t>(old->begin(), old->end()));
  machine.files().putFile("C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL", {'M', 'Z'});
  nrv::Process& setup = machine.startProcess("setup");
  BOOLEAN added = FALSE;
  {
    nrv::ProcessScope scope(setup);
    std::string failure;
    nrv::UserModule* module = setup.loadModule(CLEANUN_MODULE, &failure);
    if (module == nullptr) fuzzFinding("the clean-up routines did not load: " + failure);
    auto addRename =
        reinterpret_cast<BOOLEAN (*)(LPCSTR, LPCSTR)>(setup.exportOf(*module, "AddWinInitRename"));
    added = addRename(target.c_str(), source.c_str());
    setup.unloadModule(*module);
  }
  std::string line = target + "=" + source + "\r\n";
  std::string now = fileText(machine);
  if (added && now != expectedFile(old.value_or(""), line))
    fuzzFinding("the line is not where the system reads it");
  if (!added && now != old.value_or("")) fuzzFinding("a failed edit changed the file");
  if (options & 1) {
    // One machine runs at a time: the next start follows once this one is gone.
    nrv::MachineState state = machine.shutDown();
    owned.reset();
    nrv::Machine next(state);
  }
  return 0;
}
