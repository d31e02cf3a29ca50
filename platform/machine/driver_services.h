// A driver's service key, HKLM\System\CurrentControlSet\Services\<name>, as
// setup writes it (ImagePath, Type 1 for a kernel driver, Start 3 for one
// loaded on demand), and the image file it names.
#pragma once

#include <optional>
#include <string>

namespace nrv {

class FileSystem;
class Registry;

std::u16string serviceKeyPath(const std::string& service);
// imagePath is as Windows keeps it: relative to the Windows folder ("System32\DRIVERS\X.SYS").
void registerDriverService(Registry& registry, const std::string& service, const std::string& imagePath);
// The full path of the service's image file; none when the service or its ImagePath is missing.
std::optional<std::string> serviceImageFile(const Registry& registry, const FileSystem& files,
                                            const std::string& service);

}  // namespace nrv
