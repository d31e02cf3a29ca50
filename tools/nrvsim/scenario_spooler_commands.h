// Parsers of the spooler's commands: printer, job, retry, status, paper, devid and deleteport.
#pragma once

#include "scenario.h"
#include "scenario_arguments.h"

namespace nrvsim {

Action parseQueue(Arguments& arguments);
Action parseJob(Arguments& arguments);
Action parseRetry(Arguments& arguments);
Action parseStatus(Arguments& arguments);
Action parsePaper(Arguments& arguments);
Action parseDeviceId(Arguments& arguments);
Action parseDeletePort(Arguments& arguments);

}  // namespace nrvsim
