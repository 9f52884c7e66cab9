// scanmon: the console monitor of the laser line scanner. Its one argument is
// the output file; --help and --version are answered before anything else, so
// asking for them touches no file.
#include "monitor/monitor.h"
#include "tools/common/command_line.h"

namespace {

const ProgramText kProgram = {
    "scanmon",
    "usage: scanmon OUTPUT_FILE\n"
    "       scanmon --help | --version\n",
    "\n"
    "Reads ./properties.txt, brings the laser sensor and the interface card up\n"
    "through the driver library (hsif), then prints the scan mirror's angle\n"
    "(tenths of a degree) of each fetch of samples until x is pressed. OUTPUT_FILE\n"
    "is created (or emptied) at start and kept open until the end.\n"
    "\n"
    "Options (only in place of OUTPUT_FILE):\n"
    "  --help, -h   show this text\n"
    "  --version    show the version\n"
    "\n"
    "Exit status: 0 ended by x, Ctrl-C or SIGTERM, or a fetch of samples failed;\n"
    "1 bring-up failed or ./properties.txt missing; 2 no output file name given;\n"
    "130 stopped during the bring-up, or by a second Ctrl-C/SIGTERM.\n"};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && AnswerHelpOrVersion(kProgram, argv[1])) return 0;
  return RunMonitor(argc, argv);
}
