#include "cli/command_line.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#if !defined(SCANMON_VERSION_MAJOR) || !defined(SCANMON_VERSION_TWEAK)
#error "the build defines SCANMON_VERSION_MAJOR..TWEAK from project(scanmon VERSION ...)"
#endif

namespace {

bool IsHelp(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

bool IsVersion(const char* arg) {
  return std::strcmp(arg, "--version") == 0;
}

void PrintHelp(const ProgramText& program) {
  std::fputs(program.usage, stdout);
  std::fputs(program.help, stdout);
}

// An argument the option rules read as an option: a dash, then something that
// is not a digit ("-" alone and "-25" are operands).
bool LooksLikeOption(const char* arg) {
  return arg[0] == '-' && arg[1] != '\0' && !(arg[1] >= '0' && arg[1] <= '9');
}

}  // namespace

CommandLine StartCommandLine(const ProgramText& program, int argc, char** argv) {
  return CommandLine{&program, nullptr, 0, argc, argv, 1, false, 0};
}

ArgKind NextArgument(CommandLine* line, ArgStep* step) {
  step->option = 0;
  step->text = nullptr;
  while (line->next < line->argc && line->argv[line->next] != nullptr) {
    const char* arg = line->argv[line->next++];
    if (line->options_done || !LooksLikeOption(arg)) {
      step->text = arg;
      return ArgKind::kOperand;
    }
    if (std::strcmp(arg, "--") == 0) {
      line->options_done = true;
      continue;
    }
    if (IsHelp(arg)) {
      PrintHelp(*line->program);
      line->exit_status = 0;
      return ArgKind::kExit;
    }
    if (IsVersion(arg)) {
      PrintVersion(line->program->name);
      line->exit_status = 0;
      return ArgKind::kExit;
    }
    const char* equals = std::strchr(arg, '=');
    const std::size_t name_length =
        equals != nullptr ? static_cast<std::size_t>(equals - arg) : std::strlen(arg);
    for (std::size_t i = 0; i < line->option_count; ++i) {
      const OptionEntry& option = line->options[i];
      if (std::strlen(option.name) != name_length ||
          std::strncmp(option.name, arg, name_length) != 0) {
        continue;
      }
      step->option = i;
      if (option.value_name == nullptr) {
        if (equals != nullptr) {
          UsageError(line, "%s takes no value", option.name);
          return ArgKind::kExit;
        }
        return ArgKind::kOption;
      }
      if (equals != nullptr) {
        step->text = equals + 1;
      } else if (line->next < line->argc && line->argv[line->next] != nullptr) {
        step->text = line->argv[line->next++];
      } else {
        UsageError(line, "missing value for %s", option.name);
        return ArgKind::kExit;
      }
      return ArgKind::kOption;
    }
    UsageError(line, "unknown option %s", arg);
    return ArgKind::kExit;
  }
  return ArgKind::kEnd;
}

int UsageError(CommandLine* line, const char* format, ...) {
  const char* name = line->program->name;
  std::fprintf(stderr, "%s: ", name);
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
  std::fputs(line->program->usage, stderr);
  std::fprintf(stderr, "Try '%s --help' for more information.\n", name);
  line->exit_status = kExitUsage;
  return kExitUsage;
}

bool ParseWholeNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t* value) {
  const bool negative = *text == '-';
  if (negative) ++text;
  if (*text == '\0') return false;
  // Accumulated as a negative number, whose range holds INT64_MIN.
  std::int64_t parsed = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    const int digit = *text - '0';
    if (parsed < (INT64_MIN + digit) / 10) return false;
    parsed = parsed * 10 - digit;
  }
  if (!negative) {
    if (parsed == INT64_MIN) return false;
    parsed = -parsed;
  }
  if (parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseNumberArgument(CommandLine* line, const char* what, const char* text, std::int64_t min,
                         std::int64_t max, std::int64_t* value) {
  if (ParseWholeNumber(text, min, max, value)) return true;
  UsageError(line, "%s must be a whole number from %" PRId64 " to %" PRId64 ", not '%s'", what, min,
             max, text);
  return false;
}

ArgKind NextOptionOfOne(CommandLine* line, ArgStep* step, const char* what, const char** operand) {
  for (;;) {
    const ArgKind kind = NextArgument(line, step);
    if (kind != ArgKind::kOperand) return kind;
    if (*operand != nullptr) {
      UsageError(line, "expected one %s, also got '%s'", what, step->text);
      return ArgKind::kExit;
    }
    *operand = step->text;
  }
}

bool ParseInt32Argument(CommandLine* line, const char* what, const char* text,
                        std::int32_t* value) {
  std::int64_t wide = 0;
  if (!ParseNumberArgument(line, what, text, INT32_MIN, INT32_MAX, &wide)) return false;
  *value = static_cast<std::int32_t>(wide);
  return true;
}

void PrintVersion(const char* program) {
  // The project's one version number, as CMake's project() carries it.
  std::printf("%s (scanmon) %d.%d.%d.%d\n", program, SCANMON_VERSION_MAJOR, SCANMON_VERSION_MINOR,
              SCANMON_VERSION_PATCH, SCANMON_VERSION_TWEAK);
}

bool AnswerHelpOrVersion(const ProgramText& program, const char* arg) {
  if (arg == nullptr) return false;
  if (IsHelp(arg)) {
    PrintHelp(program);
    return true;
  }
  if (IsVersion(arg)) {
    PrintVersion(program.name);
    return true;
  }
  return false;
}
