// scanmon: the console monitor of the laser line scanner. Its argument is the
// output file, with --status before or after it; --help and --version are
// answered before anything else, so asking for them touches no file.
#include "cli/command_line.h"
#include "monitor/monitor.h"

namespace {

const ProgramText kProgram = {
    "scanmon", kMonitorUsage,
    "\n"
    "Reads ./properties.txt, brings the laser sensor and the interface card up\n"
    "through the driver library (hsif), then prints the scan mirror's angle\n"
    "(tenths of a degree) of each fetch of samples until x is pressed. OUTPUT_FILE\n"
    "is created when missing (an existing file keeps what it holds) and kept open\n"
    "until the end.\n"
    "\n"
    "What you see: after the bring-up messages, one line per fetch of samples\n"
    "on standard error: the mirror angle of the fetch's first sample in tenths\n"
    "of a degree (318 is 31.8 degrees; 0 to 3599, negative only for a negative\n"
    "angle), then its index flag (1 when that sample carries the index mark,\n"
    "else 0). The mirror's encoder marks one sample per revolution, as the\n"
    "mirror passes its zero; each marked sample of the fetch adds a line\n"
    "\">>>>  <angle>  1\". So two such lines per fetch are two revolutions in\n"
    "it: with the demo's settings a fetch of 5000 samples at 20 us is 0.1 s,\n"
    "two turns at 20 rev/s. OUTPUT_FILE stays empty: the monitor keeps it open\n"
    "but writes no samples to it (capture-record records samples into files).\n"
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
    "Exit status: 0 ended by x; 1 bring-up failed or ./properties.txt missing;\n"
    "2 no output file name given; 3 a fetch of samples failed (line released,\n"
    "card closed). Stopped by Ctrl-C, SIGTERM or a hang-up it ends, on Linux, by\n"
    "that signal (after the release when in the sample loop); on Windows with 0\n"
    "after the release, or 130 during the bring-up or on a second stop.\n"};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && AnswerHelpOrVersion(kProgram, argv[1])) return 0;
  return RunMonitor(argc, argv);
}
