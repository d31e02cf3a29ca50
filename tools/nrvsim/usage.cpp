#include "usage.h"

#include "default_scenario.h"

namespace nrvsim {

namespace {

const char kUsage[] =
    "usage: nrvsim [options]\n"
    "\n"
    "Runs the simulated Windows machine with the NRVUSB driver module loaded and\n"
    "installed as the function driver of USB printers, carries out a scenario on\n"
    "it, and reports what the machine and the driver did: a transcript stamped\n"
    "with the machine's virtual time, or one JSON document. Every run ends with a\n"
    "shutdown under the verifier, which stops the machine on any leak or broken\n"
    "kernel rule. Without --scenario or --run, nrvsim runs its built-in scenario,\n"
    "a printer's whole life from plug to unplug (listed at the end).\n"
    "\n"
    "options:\n"
    "  --profile=98|2000   operating system the machine runs (default 2000)\n"
    "  --driver=PATH       driver module to load (default: the one built with nrvsim)\n"
    "  --scenario=FILE     run the scenario in FILE\n"
    "  --run='CMD; CMD'    run the scenario given here\n"
    "  --print=FILE        the document the built-in scenario prints (default: a\n"
    "                      built-in 150000-byte test page)\n"
    "  --json              write the facts as one JSON document instead of a transcript\n"
    "  --help              show this text\n"
    "\n"
    "scenario language:\n"
    "  One command per line, or several separated by ';'. '#' starts a comment.\n"
    "  Text with spaces, ';' or '#' goes in double quotes, where \\n \\r \\t \\\" \\\\\n"
    "  and \\xHH stand for bytes. Options are written key=value. A scenario names\n"
    "  its printers (letters, digits, '-', '_'); a name plugged again is the same\n"
    "  printer plugged again, with the same serial number.\n"
    "\n"
    "  plug NAME [id=TEXT] [serial=TEXT|none] [protocol=1|2|3|none] [FAULT ...]\n"
    "      plugs a printer into the lowest free port; the driver's AddDevice and\n"
    "      start run, and its child is enumerated.\n"
    "      id        its IEEE 1284 device ID (default: the model's own,\n"
    "                \"MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;\")\n"
    "      serial    its serial number string, or none (default NRV0001 for the\n"
    "                first name, NRV0002 for the second, ...)\n"
    "      protocol  of its printer interface (default 2, bidirectional); none:\n"
    "                a vendor-specific interface instead of a printer one\n"
    "  FAULT, for the Nth bulk transfer since the plug in direction DIR (out or in):\n"
    "      stall=DIR:N          the endpoint stalls and stays halted until reset\n"
    "      fail=DIR:N:STATUS    the transfer fails with a USBD status, by name\n"
    "                           (STALL_PID, DEV_NOT_RESPONDING, ...) or number\n"
    "      delay=DIR:N:MS       the printer answers after MS milliseconds\n"
    "      hold=DIR:N           the printer never answers; only a cancel ends it\n"
    "  fault NAME FAULT ...     schedules more faults on a plugged printer\n"
    "  show NAME                port name, DeviceID and SerialNumberFound from the\n"
    "                           device key, the configuration, the child's IDs and\n"
    "                           description, and the device nodes' states\n"
    "  open NAME                opens a handle on the printer's interface\n"
    "  close NAME               closes it\n"
    "  print NAME [FILE] [timeout=MS]\n"
    "                           writes FILE (default: the test page) on the open\n"
    "                           handle, or on one opened for the job, and shows\n"
    "                           each write and its bulk OUT transfers. A write not\n"
    "                           done after MS ms (default 30000) is ended as the\n"
    "                           port monitor ends it: the pipe's requests are\n"
    "                           cancelled and the pipe is reset through the\n"
    "                           driver's control requests.\n"
    "                           Relative names start at the scenario file's folder.\n"
    "  reply NAME TEXT          the printer answers the next bulk IN transfers\n"
    "                           with these bytes\n"
    "  read NAME COUNT [timeout=MS]\n"
    "                           reads COUNT bytes back, as print writes\n"
    "  sleep S1|S2|S3|S4        puts the machine to sleep (S4: hibernation); a\n"
    "                           driver may veto, an open handle makes it do so.\n"
    "                           No program runs while the machine sleeps: open,\n"
    "                           close, print and read are refused until wake\n"
    "  wake                     wakes the machine\n"
    "  wait MS                  lets MS milliseconds of virtual time pass\n"
    "  unplug NAME [safely]     pulls the cable: surprise removal, and the stack\n"
    "                           goes once the last handle is closed. safely:\n"
    "                           query-remove and remove, then the printer is\n"
    "                           taken away; a veto leaves it plugged in\n"
    "\n"
    "exit status: 0 when the scenario ran to its end and the machine shut down\n"
    "clean; 1 when the driver did not load; 2 for a usage error or a scenario\n"
    "that cannot run (the message names the file and line, or for --run the\n"
    "command's number); a broken kernel rule stops the machine with a report on\n"
    "standard error.\n"
    "\n"
    "the built-in scenario:\n";

}  // namespace

std::string usageText() {
  std::string text = kUsage;
  std::string scenario = defaultScenario("");
  for (size_t start = 0; start < scenario.size();) {
    size_t end = scenario.find('\n', start);
    text += "  " + scenario.substr(start, end - start + 1);
    start = end + 1;
  }
  return text;
}

}  // namespace nrvsim
