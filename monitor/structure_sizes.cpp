// The 32-bit layouts the monitor shares with the spooler and the device
// installation library. Compiled only into NRVUSBMN.DLL, against the real
// headers: a header or packing mistake stops the build instead of handing the
// system a record of the wrong size.
#include "nrvusbmn.h"

static_assert(sizeof(void *) == 4, "NRVUSBMN.DLL is a 32-bit image");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "interface detail record's size field");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "device info record");
static_assert(sizeof(PORT_INFO_1A) == 4, "level-1 port record");
static_assert(sizeof(PORT_INFO_2A) == 20, "level-2 port record");
static_assert(sizeof(MONITOR) == 13 * 4, "the spooler's table of thirteen entries");
