#include "machine/machine_folder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "base/text.h"
#include "machine/registry_text.h"
#include "user/file_system.h"

namespace nrv {

namespace fs = std::filesystem;

namespace {

constexpr char kManifest[] = "machine.txt";
constexpr char kRegistry[] = "registry.txt";
constexpr char kDrive[] = "C";
constexpr char kManifestHeader[] = "nrv machine 1";

// The host path of a machine path "C:\A\B": DIR/C/A/B.
fs::path hostPathOf(const fs::path& folder, const std::string& machinePath) {
  fs::path path = folder / kDrive;
  size_t start = 3;
  while (start <= machinePath.size()) {
    size_t end = machinePath.find('\\', start);
    if (end == std::string::npos) end = machinePath.size();
    if (end > start) path /= machinePath.substr(start, end - start);
    start = end + 1;
  }
  return path;
}

bool writeFile(const fs::path& path, const void* data, size_t size, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) {
    *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool readFile(const fs::path& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (in) text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    *error = path.string() + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string manifestText(const MachineState& state) {
  std::string text = std::string(kManifestHeader) + "\n";
  text += std::string("profile ") + (state.profile == OsProfile::Windows98 ? "98" : "2000") + "\n";
  text += format("locale 0x%04X\n", state.lcid);
  if (!state.functionDriverService.empty())
    text += "driver " + quotedBytes(state.functionDriverService) + "\n";
  if (const std::optional<DriverBinding>& inf = state.functionDriverBinding) {
    text += "inf " + quotedBytes(inf->infName) + " " + quotedBytes(inf->className) + " " +
            quotedBytes(inf->classGuid) + " " + quotedBytes(inf->description) + " " +
            quotedBytes(inf->provider) + "\n";
  }
  text += std::string("spooler ") + (state.spoolerRan ? "yes" : "no") + "\n";
  for (const FileState& file : state.files) {
    if (!file.hostModule.empty())
      text += "module " + quotedBytes(file.path) + " " + quotedBytes(file.hostModule) + "\n";
  }
  return text;
}

struct Manifest {
  bool profileSeen = false;
  std::map<std::string, std::pair<std::string, int>> modules;  // machine path (upper case) -> host file, line
};

std::string upperCase(std::string text) {
  for (char& character : text)
    character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
  return text;
}

// One line of machine.txt; an error message when it is damaged.
std::string parseManifestLine(const std::string& line, MachineState* state, Manifest* manifest, int number) {
  size_t space = line.find(' ');
  std::string word = line.substr(0, space);
  std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  if (word == "profile") {
    if (rest != "98" && rest != "2000") return "the profile is 98 or 2000";
    state->profile = rest == "98" ? OsProfile::Windows98 : OsProfile::Windows2000;
    manifest->profileSeen = true;
  } else if (word == "locale") {
    char* end = nullptr;
    unsigned long lcid = std::strtoul(rest.c_str(), &end, 16);
    if (rest.compare(0, 2, "0x") != 0 || rest.size() < 3 || *end != '\0' || lcid > 0xFFFF)
      return "the locale is 0x and up to four hexadecimal digits";
    state->lcid = static_cast<uint32_t>(lcid);
  } else if (word == "driver") {
    size_t at = 0;
    if (!readQuotedBytes(rest, &at, &state->functionDriverService) || at != rest.size() ||
        state->functionDriverService.empty())
      return "driver takes the quoted name of a service";
  } else if (word == "inf") {
    DriverBinding inf;
    size_t at = 0;
    bool read = true;
    for (std::string* field : {&inf.infName, &inf.className, &inf.classGuid, &inf.description, &inf.provider})
      read = read && readQuotedBytes(rest, &at, field);
    if (!read || at != rest.size() || inf.infName.empty() || inf.className.empty())
      return "inf takes the quoted INF file, class name, class GUID, description and provider";
    state->functionDriverBinding = inf;
  } else if (word == "spooler") {
    if (rest != "yes" && rest != "no") return "spooler is yes or no";
    state->spoolerRan = rest == "yes";
  } else if (word == "module") {
    size_t at = 0;
    std::string path;
    std::string host;
    if (!readQuotedBytes(rest, &at, &path) || !readQuotedBytes(rest, &at, &host) || at != rest.size() ||
        host.empty())
      return "module takes the quoted machine file and the quoted host module";
    manifest->modules[upperCase(path)] = {host, number};
  } else {
    return "unknown entry '" + word + "'";
  }
  return "";
}

bool parseManifest(const fs::path& path, MachineState* state, Manifest* manifest, std::string* error) {
  std::string text;
  if (!readFile(path, &text, error)) return false;
  int number = 0;
  for (size_t start = 0; start < text.size() || number == 0;) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    number++;
    std::string wrong;
    if (number == 1) {
      if (line != kManifestHeader) wrong = std::string("the first line is not \"") + kManifestHeader + "\"";
    } else if (!line.empty()) {
      wrong = parseManifestLine(line, state, manifest, number);
    }
    if (!wrong.empty()) {
      *error = path.string() + ":" + std::to_string(number) + ": " + wrong;
      return false;
    }
  }
  if (!manifest->profileSeen) {
    *error = path.string() + ": the profile is missing";
    return false;
  }
  if (state->functionDriverBinding && state->functionDriverService.empty()) {
    *error = path.string() + ": an inf is given without the driver it installed";
    return false;
  }
  return true;
}

// Every file and folder under DIR/C, parents first, as machine files.
bool readDrive(const fs::path& folder, MachineState* state, std::string* error) {
  fs::path drive = folder / kDrive;
  std::error_code failed;
  if (!fs::is_directory(drive, failed)) {
    *error = drive.string() + ": the folder of drive C: is missing";
    return false;
  }
  FileSystem probe(state->profile);
  std::vector<fs::path> entries;
  for (fs::recursive_directory_iterator it(drive, failed), end; !failed && it != end; it.increment(failed))
    entries.push_back(it->path());
  if (failed) {
    *error = drive.string() + ": cannot be read: " + failed.message();
    return false;
  }
  std::sort(entries.begin(), entries.end());
  std::map<std::string, fs::path> seen;  // by upper-cased machine path: the machine's names ignore case
  for (const fs::path& entry : entries) {
    std::string machinePath = "C:";
    for (const fs::path& name : fs::relative(entry, drive)) machinePath += "\\" + name.string();
    fs::file_status status = fs::symlink_status(entry, failed);
    bool folderEntry = fs::is_directory(status);
    DWORD wrongName = 0;
    if (!folderEntry && !fs::is_regular_file(status)) {
      *error = entry.string() + ": neither a file nor a folder";
    } else if (!probe.split(machinePath, &wrongName)) {
      *error = entry.string() + ": " + machinePath + " is no name a machine file can have";
    } else if (!folderEntry && probe.isFolder(machinePath)) {
      *error = entry.string() + ": the system has a folder " + machinePath + ", not a file";
    } else if (auto [other, added] = seen.emplace(upperCase(machinePath), entry); !added) {
      *error = entry.string() + ": its name differs from " + other->second.string() + " only in case";
    }
    if (!error->empty()) return false;
    FileState file{machinePath, folderEntry, {}, ""};
    if (!folderEntry) {
      std::string bytes;
      if (!readFile(entry, &bytes, error)) return false;
      file.bytes.assign(bytes.begin(), bytes.end());
    }
    state->files.push_back(std::move(file));
  }
  return true;
}

bool attachModules(const fs::path& manifestPath, const Manifest& manifest, MachineState* state,
                   std::string* error) {
  for (const auto& [path, module] : manifest.modules) {
    // A lambda may not capture a structured binding in clang before 16 (the fuzzing build's).
    const std::string& wanted = path;
    auto file = std::find_if(state->files.begin(), state->files.end(), [&](const FileState& each) {
      return !each.folder && upperCase(each.path) == wanted;
    });
    if (file == state->files.end()) {
      *error = manifestPath.string() + ":" + std::to_string(module.second) +
               ": the module's file is not on drive C:";
      return false;
    }
    file->hostModule = module.first;
  }
  return true;
}

}  // namespace

bool holdsMachine(const std::string& folder) {
  std::error_code failed;
  return fs::exists(fs::path(folder) / kManifest, failed);
}

bool saveMachine(const MachineState& state, const std::string& folder, std::string* error) {
  fs::path root(folder);
  std::error_code failed;
  fs::create_directories(root, failed);
  if (!failed) fs::remove_all(root / kDrive, failed);
  if (failed) {
    *error = "cannot prepare " + root.string() + ": " + failed.message();
    return false;
  }
  for (const FileState& file : state.files) {
    fs::path path = hostPathOf(root, file.path);
    fs::create_directories(file.folder ? path : path.parent_path(), failed);
    if (failed) {
      *error = "cannot create " + path.string() + ": " + failed.message();
      return false;
    }
    if (!file.folder && !writeFile(path, file.bytes.data(), file.bytes.size(), error)) return false;
  }
  std::string registry = registryText(state.registry);
  std::string manifest = manifestText(state);
  // The manifest last: a folder without one holds no machine yet.
  return writeFile(root / kRegistry, registry.data(), registry.size(), error) &&
         writeFile(root / kManifest, manifest.data(), manifest.size(), error);
}

bool loadMachine(const std::string& folder, MachineState* state, std::string* error) {
  fs::path root(folder);
  *state = MachineState();
  error->clear();
  Manifest manifest;
  if (!parseManifest(root / kManifest, state, &manifest, error)) return false;
  std::string registry;
  if (!readFile(root / kRegistry, &registry, error)) return false;
  int line = 0;
  std::string wrong;
  if (!parseRegistryText(registry, &state->registry, &line, &wrong)) {
    *error = (root / kRegistry).string() + ":" + std::to_string(line) + ": " + wrong;
    return false;
  }
  return readDrive(root, state, error) && attachModules(root / kManifest, manifest, state, error);
}

}  // namespace nrv
