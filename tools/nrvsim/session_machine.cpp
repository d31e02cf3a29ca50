// The machine's own state in a session: its files and its registry.
#include <cctype>

#include "machine_facts.h"
#include "session.h"

namespace nrvsim {

Event Session::perform(const FilesCommand& command) {
  const std::string& folder = command.folder;
  bool rooted = folder.size() >= 3 && std::isalpha(static_cast<unsigned char>(folder[0])) &&
                folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/');
  DWORD error = 0;
  if (!rooted || !machine_->files().split(folder, &error)) fail("'" + folder + "' is no folder on drive C:");
  return describeFiles(*machine_, command.folder);
}

Event Session::perform(const RegistryCommand& command) {
  std::optional<RegistryListed> listed = describeRegistry(*machine_, command.key);
  if (!listed) fail("'" + command.key + "' does not start with HKLM\\ or HKU\\ (or their long names)");
  return *listed;
}

}  // namespace nrvsim
