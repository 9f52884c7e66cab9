// The command-line kit of the project's programs: one way to take options and
// operands, answer --help and --version, report usage errors and read numbers.
//
// Rules every program built on it follows (Debian's habits):
// - Options are long ("--name"), and the only short one is -h. An option that
//   takes a value gets it as "--name value" or "--name=value"; the value is the
//   next argument whatever it looks like, so "--calibration-value -42" works.
// - "--" ends the options: everything after it is an operand. "-" alone, and an
//   argument that starts with "-" and a digit ("-25"), are operands too: no
//   option starts with a digit, and negative numbers need no "--".
// - --help and -h print the usage and the help text on stdout; --version prints
//   "<program> (scanmon) <major>.<minor>.<patch>.<tweak>" on stdout (the
//   project's one version number, from CMake); both end the program with 0.
// - A usage error prints "<program>: <reason>", the usage and a pointer to
//   --help on stderr and ends the program with kExitUsage (2).
// - Numbers are whole decimal numbers: an optional "-", then digits only; no
//   spaces, no "+", no base prefixes, no exponents. A usage error names the
//   offending text in quotes.
//
// Use:
//   const ProgramText kProgram = {"capture-header", "Usage: capture-header FILE\n", "..."};
//   const OptionEntry kOptions[] = {{"--force", nullptr}, {"--wait-ms", "MS"}};
//   CommandLine line = StartCommandLine(kProgram, kOptions, argc, argv);
//   ArgStep step;
//   for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
//     if (kind == ArgKind::kExit) return line.exit_status;
//     if (kind == ArgKind::kOperand) { ... step.text ... } else { ... step.option ... }
//   }
#pragma once

#include <cstddef>
#include <cstdint>

// Exit status of a usage error, for every program of the project.
inline constexpr int kExitUsage = 2;

// What a program tells the kit about itself. The texts live as long as the run.
struct ProgramText {
  const char* name;   // the program's name: message prefix and --version line
  const char* usage;  // the usage line(s), each ended by "\n"
  const char* help;   // the rest of the --help text (description, options, exit
                      // status), each line ended by "\n"
};

// One option the program accepts besides --help, -h and --version.
struct OptionEntry {
  const char* name;        // "--force"
  const char* value_name;  // "MS" when the option takes a value; null for a flag
};

// The state of one pass over the command line. Made by StartCommandLine; read
// exit_status after NextArgument returned ArgKind::kExit.
struct CommandLine {
  const ProgramText* program;
  const OptionEntry* options;
  std::size_t option_count;
  int argc;
  char** argv;
  int next;           // index of the next argument to take
  bool options_done;  // "--" was seen
  int exit_status;    // set when NextArgument returns ArgKind::kExit
};

enum class ArgKind {
  kEnd,      // no arguments left
  kOption,   // an option of the table: step.option, step.text its value (or null)
  kOperand,  // step.text is the operand
  kExit,     // help or version printed, or a usage error reported:
             // end the program with line.exit_status
};

struct ArgStep {
  std::size_t option;  // index into the option table (kOption)
  const char* text;    // the operand, or the option's value (null for a flag)
};

template <std::size_t N>
CommandLine StartCommandLine(const ProgramText& program, const OptionEntry (&options)[N], int argc,
                             char** argv) {
  return CommandLine{&program, options, N, argc, argv, 1, false, 0};
}
// For a program without options of its own.
CommandLine StartCommandLine(const ProgramText& program, int argc, char** argv);

// Takes the next argument (see the rules above). --help, -h and --version are
// answered here; so are unknown options, a missing value and a value given to a
// flag, as usage errors. Returns ArgKind::kExit in those cases.
ArgKind NextArgument(CommandLine* line, ArgStep* step);

// Prints "<program>: <reason>" (printf-style), the usage and "Try '<program>
// --help' for more information." on stderr; sets line->exit_status to
// kExitUsage and returns it.
int UsageError(CommandLine* line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// True when `text` is a whole decimal number (see the rules above) within
// [min, max]; *value then holds it. On false *value is unchanged.
bool ParseWholeNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t* value);

// NextArgument for a program of one operand (`what`, as its usage names it:
// "CONFIG"): the operand goes to *operand, a second one is the usage error
// "expected one <what>, also got '<text>'". Returns kOption, kExit or kEnd.
ArgKind NextOptionOfOne(CommandLine* line, ArgStep* step, const char* what, const char** operand);

// ParseWholeNumber for an argument: on failure reports the usage error
// "<what> must be a whole number from <min> to <max>, not '<text>'" and
// returns false (line->exit_status is then kExitUsage).
bool ParseNumberArgument(CommandLine* line, const char* what, const char* text, std::int64_t min,
                         std::int64_t max, std::int64_t* value);

// ParseNumberArgument for a 32-bit signed value (INT32_MIN to INT32_MAX).
bool ParseInt32Argument(CommandLine* line, const char* what, const char* text, std::int32_t* value);

// The first line of --version: "<program> (scanmon) 1.1.0.0\n", on stdout.
void PrintVersion(const char* program);

// For a program whose first argument is not an option but may ask for help or
// the version (the monitor): when `arg` is --help, -h or --version, prints the
// answer on stdout and returns true; otherwise prints nothing and returns false.
bool AnswerHelpOrVersion(const ProgramText& program, const char* arg);
