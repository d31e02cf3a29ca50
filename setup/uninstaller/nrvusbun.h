// NRVUSBUN: the uninstaller program.
#pragma once

#include "cleanup.h"

// Strings of the first block of the table, the same in every language.
#define IDS_INF_OTHER_FOLDER 20
#define IDS_INF_FOLDER 21
#define IDS_PRINTER_PORTS_MRU_KEY 22
