// NRVUSBIN: the installer library the printer's installation procedure calls.
#pragma once

#include "cleanup.h"

// Strings of the first block of the table, the same in every language.
#define IDS_PRINTER_PORTS_MRU_KEY 20
#define IDS_LPTENUM_KEY 21
