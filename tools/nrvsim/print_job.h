// Reads and writes through the driver, as the port monitor sends them, and the
// bulk transfers the driver made of each.
#pragma once

#include <string>
#include <vector>

#include "events.h"
#include "machine/machine.h"
#include "scenario.h"
#include "session.h"

namespace nrvsim {

// A plain-text test page long enough to need several transfers.
std::vector<UCHAR> testPage();

// Reads the document of every print command (relative names from baseDirectory);
// throws ScenarioError for a file that cannot be read.
void loadDocuments(std::vector<Command>& commands, const std::string& baseDirectory);

// Writes the document on the printer's handle (or one opened for the job) in
// the pieces a spooler hands over, stopping at the first that falls short.
DocumentPrinted printDocument(nrv::Machine& machine, NamedPrinter& printer, const PrintCommand& command);
DataRead readBack(nrv::Machine& machine, NamedPrinter& printer, const ReadCommand& command);

}  // namespace nrvsim
