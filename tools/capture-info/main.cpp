// capture-info: what a capture file holds. For each file: the header report,
// the records present against the header's count, whether the file ends on a
// whole record, the recorded duration, for a .prc file the index marks, the
// mirror's rate and the lost-data flags, and what its block index (<base>.idx)
// tells: the host's time of the fetches, the gaps, and the sample clock
// against the host's. With --repair it mends files a crash cut short. Exit
// status 0 when every file is whole and consistent (or mended), 1 otherwise,
// 2 on usage errors.
#include "capture/capture_mend.h"
#include "cli/command_line.h"
#include "libscanmon/capture_report.h"

namespace {

const ProgramText kProgram = {
    "capture-info", "Usage: capture-info [--help] [--version] [--repair] FILE...\n",
    "\n"
    "Tells what each capture file (.prc, .raw, or a bare header file) holds:\n"
    "the header report, the records present against the header's sample\n"
    "count, whether the file ends on a whole record, the recorded duration,\n"
    "and for a .prc file the index marks, the mirror's revolutions per\n"
    "second and the lost-data flags, and from its block index (<base>.idx,\n"
    "when present) the host's time of the fetches, the gaps in the samples\n"
    "and the sample clock against the host's, and the field map naming its\n"
    "driver's bytes (<base>.fields, when present). A file named *.prc holds\n"
    "64-byte processed records, any other 16-byte raw records. A header\n"
    "that is not plausible (not a capture of this system) is refused.\n"
    "\n"
    "For a .prc file the \"Revolutions:\" lines count the revolutions the\n"
    "library's revolution reader assembles over the capture, as a program\n"
    "reading it gets them: complete (from an index mark to the sample\n"
    "before the next, nothing missing) and incomplete, and why the\n"
    "incomplete ones are (one may have several reasons): data lost on the\n"
    "card, samples not kept, cut by the start or by the end of the capture,\n"
    "no index mark for 1 s. \"Revolutions: not assembled (why)\" says the\n"
    "library could not open the capture, \"Revolutions: reading stopped\n"
    "(why)\" that its reading ended early. These lines only report: the\n"
    "file's verdict is the other lines'.\n"
    "\n"
    "Options:\n"
    "  --repair    mend files a crash cut short: cut a partial last record,\n"
    "              set the header's count to the whole records present\n"
    "              (and cut the block index's trailing blocks past them; an\n"
    "              index with a block out of order is left alone, exit 1);\n"
    "              nothing else changes\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 every file whole and consistent (with --repair: whole\n"
    "after the mend), 1 otherwise, 2 usage error.\n"};

enum Option { kRepair };
const OptionEntry kOptions[] = {{"--repair", nullptr}};

// Every file whole and consistent (or mended), or not.
constexpr int kExitConsistent = 0;
constexpr int kExitInconsistent = 1;

}  // namespace

int main(int argc, char** argv) {
  // The whole command line is checked before any file is read.
  CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
  ArgStep step;
  int files = 0;
  bool repair = false;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (kind == ArgKind::kOperand) {
      ++files;
    } else if (step.option == kRepair) {
      repair = true;
    }
  }
  if (files == 0) return UsageError(&line, "no capture file given");
  bool all_consistent = true;
  line = StartCommandLine(kProgram, kOptions, argc, argv);
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind != ArgKind::kOperand) continue;
    all_consistent = (repair ? MendCaptureFile(kProgram.name, step.text)
                             : ReportCaptureFile(kProgram.name, step.text)) &&
                     all_consistent;
  }
  return all_consistent ? kExitConsistent : kExitInconsistent;
}
