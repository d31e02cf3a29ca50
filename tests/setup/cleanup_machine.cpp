#include "cleanup_machine.h"

namespace {

const char* modulePathOf(SetupVariant variant) {
  return variant == SetupVariant::Installer ? CLEANIN_MODULE : CLEANUN_MODULE;
}

}  // namespace

CleanupBench::CleanupBench(nrv::OsProfile profile, SetupVariant variant)
    : machine(nrv::MachineOptions{profile}), process(machine.startProcess("setup")) {
  nrv::ProcessScope scope(process);
  std::string failure;
  module = process.loadModule(modulePathOf(variant), &failure);
  EXPECT_NE(module, nullptr) << failure;
}

CleanupBench::~CleanupBench() {
  if (module == nullptr) return;
  nrv::ProcessScope scope(process);
  process.unloadModule(*module);
}

std::string CleanupBench::fileText(const std::string& path) {
  std::optional<std::vector<uint8_t>> bytes = machine.files().fileBytes(path);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(none)");
}

void CleanupBench::putFile(const std::string& path, const std::string& text) {
  machine.files().putFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}
