// The registry's record of every device interface ever registered, which
// outlives the device: setup programs find printers that are unplugged now
// through it. Under DeviceClasses\{class} each interface has a key named after
// its link name ("##?#USB#VID_0A5F&PID_0027#NRV0001#{class}") holding the
// device's instance path in DeviceInstance, and one subkey per reference
// string ("#" for none) holding the Win32 path in SymbolicLink. Windows 98's
// WDM layer keeps them at the same place as Windows 2000.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

namespace nrv {

class Registry;

struct InterfaceRegistration {
  std::u16string instancePath;  // "USB\VID_0A5F&PID_0027\NRV0001"
  std::u16string symbolicLink;  // "\\?\USB#VID_0A5F&PID_0027#NRV0001#{class}", as the kernel named it
};

// Records an interface by its kernel link name ("\??\USB#...#{class}", then
// "\reference" when it has a reference string).
void recordInterfaceRegistration(Registry& registry, const GUID& interfaceClass, std::u16string_view linkName,
                                 std::u16string_view instancePath);

// Every interface of the class, in the order the registry enumerates them.
std::vector<InterfaceRegistration> interfaceRegistrations(const Registry& registry,
                                                          const GUID& interfaceClass);

// Forgets every interface of every class that the device registered, as
// uninstalling the device does; returns how many went.
size_t deleteInterfaceRegistrations(Registry& registry, std::u16string_view instancePath);

// The kernel link name of a Win32 interface path ("\\?\..." gives "\??\..."); empty for any other path.
std::u16string linkNameOfWin32Path(std::u16string_view path);

}  // namespace nrv
