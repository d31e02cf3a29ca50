#include "machine/driver_services.h"

#include "base/text.h"
#include "kernel/registry.h"
#include "user/file_system.h"

namespace nrv {

namespace {

constexpr uint32_t kKernelDriver = 1;  // Type
constexpr uint32_t kDemandStart = 3;   // Start: loaded when a device needs it

}  // namespace

std::u16string serviceKeyPath(const std::string& service) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + toUtf16(service);
}

void registerDriverService(Registry& registry, const std::string& service, const std::string& imagePath) {
  std::u16string key = serviceKeyPath(service);
  registry.setString(key, u"ImagePath", toUtf16(imagePath), REG_EXPAND_SZ);
  registry.setDword(key, u"Type", kKernelDriver);
  registry.setDword(key, u"Start", kDemandStart);
}

std::optional<std::string> serviceImageFile(const Registry& registry, const FileSystem& files,
                                            const std::string& service) {
  std::optional<std::u16string> value = registry.stringValue(serviceKeyPath(service), u"ImagePath");
  if (!value || value->empty()) return std::nullopt;
  std::string path = toUtf8(*value);
  constexpr std::string_view kSystemRoot = "\\SystemRoot\\";
  if (path.compare(0, kSystemRoot.size(), kSystemRoot) == 0) path = path.substr(kSystemRoot.size());
  bool full = path.size() >= 3 && path[1] == ':' && path[2] == '\\';
  return full ? path : files.windowsDirectory() + "\\" + path;
}

}  // namespace nrv
