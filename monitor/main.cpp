// scanmon: the console monitor of the laser line scanner. Its argument is the
// output file, with --status before or after it; --help and --version are
// answered before anything else, so asking for them touches no file.
#include "monitor/monitor.h"
#include "tools/common/command_line.h"

namespace {

const ProgramText kProgram = {
    "scanmon",
    "usage: scanmon [--status] OUTPUT_FILE\n"
    "       scanmon --help | --version\n",
    "\n"
    "Reads ./properties.txt, brings the laser sensor and the interface card up\n"
    "through the driver library (hsif), then prints the scan mirror's angle\n"
    "(tenths of a degree) of each fetch of samples until x is pressed. OUTPUT_FILE\n"
    "is created when missing (an existing file keeps what it holds) and kept open\n"
    "until the end.\n"
    "\n"
    "Options:\n"
    "  --status     instead of the angle lines, one status line on standard error:\n"
    "               mirror revolutions per second (mean, min-max over the last\n"
    "               second), samples and fetches per second, data-lost events,\n"
    "               the last angle, and warnings (mirror not turning?, mirror\n"
    "               rate changed); rewritten in place on a terminal, a plain line\n"
    "               every 5 s otherwise; a summary at the end\n"
    "  --help, -h   show this text (only in place of OUTPUT_FILE)\n"
    "  --version    show the version (only in place of OUTPUT_FILE)\n"
    "\n"
    "Exit status: 0 ended by x, Ctrl-C or SIGTERM; 1 bring-up failed or\n"
    "./properties.txt missing; 2 no output file name given; 3 a fetch of samples\n"
    "failed (line released, card closed); 130 stopped during the bring-up, or by\n"
    "a second Ctrl-C/SIGTERM.\n"};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && AnswerHelpOrVersion(kProgram, argv[1])) return 0;
  return RunMonitor(argc, argv);
}
