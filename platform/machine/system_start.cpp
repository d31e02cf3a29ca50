#include "machine/system_start.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/file_system.h"

namespace nrv {

namespace {

constexpr char16_t kSessionManager[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";

std::string outcomeOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "not found";
    case ERROR_PATH_NOT_FOUND:
      return "folder not found";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return "target exists";
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return "bad name";
    default:
      return format("error %u", static_cast<unsigned>(error));
  }
}

// A full path on drive C: that the file system takes without stopping the machine.
bool fullPath(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

std::string deleteFile(FileSystem& files, const std::string& path) {
  if (!fullPath(path)) return "not understood";
  DWORD error = 0;
  return files.remove(path, &error) ? "deleted" : outcomeOf(error);
}

std::string renameFile(FileSystem& files, const std::string& from, const std::string& to, bool replace) {
  if (!fullPath(from) || !fullPath(to)) return "not understood";
  DWORD error = 0;
  return files.move(from, to, replace, &error) ? "renamed" : outcomeOf(error);
}

std::vector<std::u16string> multiStrings(const std::vector<uint8_t>& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t index = 0; index < text.size(); index++)
    text[index] = static_cast<char16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
  std::vector<std::u16string> strings;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find(u'\0', start), text.size());
    strings.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

std::u16string withoutObjectPrefix(std::u16string_view path) {
  return std::u16string(path.substr(0, 4) == u"\\??\\" ? path.substr(4) : path);
}

std::vector<PendingFileOperation> sessionManagerOperations(const Registry& registry, SystemLocale& locale) {
  std::vector<PendingFileOperation> pending;
  std::optional<RegistryValue> value = registry.value(kSessionManager, kPendingRenames);
  if (!value) return pending;
  std::vector<std::u16string> strings = multiStrings(value->bytes);
  // A value that ends in the empty string of a REG_MULTI_SZ terminator has no pair there.
  if (strings.size() % 2 == 1 && strings.back().empty()) strings.pop_back();
  for (size_t index = 0; index < strings.size(); index += 2) {
    std::u16string source = strings[index];
    std::u16string target = index + 1 < strings.size() ? strings[index + 1] : u"";
    PendingFileOperation operation{"PendingFileRenameOperations",
                                   "\"" + locale.toAnsi(source) + "\" -> \"" + locale.toAnsi(target) + "\"",
                                   "", "", false};
    if (index + 1 < strings.size()) {
      operation.from = locale.toAnsi(withoutObjectPrefix(source));
      if (!target.empty()) {
        operation.replace = target.front() == u'!';
        operation.to = locale.toAnsi(
            withoutObjectPrefix(operation.replace ? std::u16string_view(target).substr(1) : target));
      }
    }
    pending.push_back(std::move(operation));
  }
  return pending;
}

std::string upperCase(std::string text) {
  for (char& character : text)
    character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
  return text;
}

std::string trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

std::vector<std::string> lines(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> result;
  std::string line;
  for (uint8_t byte : bytes) {
    if (byte == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      result.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(byte);
    }
  }
  if (!line.empty()) result.push_back(line);
  return result;
}

PendingFileOperation winInitLine(const std::string& line) {
  PendingFileOperation operation{"WININIT.INI", line, "", "", true};
  size_t equals = line.find('=');
  if (equals == std::string::npos) return operation;
  std::string target = trimmed(line.substr(0, equals));
  operation.from = trimmed(line.substr(equals + 1));
  // The copy it carries out replaces what is there.
  if (upperCase(target) != "NUL") operation.to = target;
  return operation;
}

std::string winInitPath(const FileSystem& files) { return files.windowsDirectory() + "\\WININIT.INI"; }

std::vector<PendingFileOperation> winInitOperations(const FileSystem& files) {
  std::vector<PendingFileOperation> pending;
  std::optional<std::vector<uint8_t>> bytes = files.fileBytes(winInitPath(files));
  if (!bytes) return pending;
  bool inRename = false;
  for (const std::string& line : lines(*bytes)) {
    std::string text = trimmed(line);
    if (!text.empty() && text.front() == '[') {
      inRename = upperCase(text) == "[RENAME]";
      continue;
    }
    if (inRename && !text.empty() && text.front() != ';') pending.push_back(winInitLine(text));
  }
  return pending;
}

StartFileOperation carryOut(FileSystem& files, const PendingFileOperation& operation) {
  StartFileOperation done{operation.source, operation.text, "not understood"};
  if (operation.from.empty()) return done;
  done.outcome = operation.to.empty() ? deleteFile(files, operation.from)
                                      : renameFile(files, operation.from, operation.to, operation.replace);
  return done;
}

}  // namespace

std::vector<PendingFileOperation> pendingFileOperations(OsProfile profile, const Registry& registry,
                                                        const FileSystem& files, SystemLocale& locale) {
  return profile == OsProfile::Windows98 ? winInitOperations(files)
                                         : sessionManagerOperations(registry, locale);
}

std::vector<StartFileOperation> carryOutPendingFileOperations(OsProfile profile, Registry& registry,
                                                              FileSystem& files, SystemLocale& locale) {
  std::vector<StartFileOperation> done;
  for (const PendingFileOperation& operation : pendingFileOperations(profile, registry, files, locale))
    done.push_back(carryOut(files, operation));
  if (profile == OsProfile::Windows98) {
    if (files.fileBytes(winInitPath(files))) {
      std::string backup = files.windowsDirectory() + "\\WININIT.BAK";
      done.push_back(
          {"WININIT.INI", "WININIT.INI -> WININIT.BAK", renameFile(files, winInitPath(files), backup, true)});
    }
  } else {
    registry.deleteValue(kSessionManager, kPendingRenames);
  }
  return done;
}

}  // namespace nrv
