// Printing a document through the driver: writes on an open handle, as the
// port monitor sends them, and the bulk transfers the driver made of them.
#pragma once

#include <string>
#include <vector>

#include "printer_bench.h"
#include "transcript.h"

namespace nrvsim {

// A plain-text test page long enough to need several transfers.
std::vector<UCHAR> testPage();

// Prints the document on a started printer and shows each write and its
// transfers. Returns 0 when the printer received exactly the document.
int printDocument(PrinterBench& bench, const AddedPrinter& printer, const std::string& name,
                  const std::vector<UCHAR>& document, Transcript& transcript);

}  // namespace nrvsim
