// The operating system the machine plays: registry and file layout, version
// numbers and the USB stack's behaviour follow it.
#pragma once

namespace nrv {

enum class OsProfile { Windows98, Windows2000 };

// "Windows 98 (4.10)", "Windows 2000 (5.0)".
inline const char* osProfileName(OsProfile profile) {
  return profile == OsProfile::Windows98 ? "Windows 98 (4.10)" : "Windows 2000 (5.0)";
}

}  // namespace nrv
