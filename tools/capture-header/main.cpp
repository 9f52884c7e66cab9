// capture-header: prints the header report of a capture file and says whether
// the header is valid. Exit status 0 valid, 1 not (reason on stderr), 2 usage.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "capture/capture_header.h"
#include "capture/header_plausibility.h"
#include "cli/command_line.h"
#include "platform/error_text.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;

const ProgramText kProgram = {
    "capture-header", "Usage: capture-header [--help] [--version] CAPTURE_FILE\n",
    "\n"
    "Prints the header of a capture file (e.g. a .raw file) on stdout and\n"
    "checks it: the file must hold a whole header (293 bytes for version 3,\n"
    "292 for other versions), and a version-3 header must name the sensor\n"
    "model (0 = AR4000 50 kHz, 1 = 200 kHz). Its fields must be plausible:\n"
    "version 1 to 3, sampling period 5 to 1000000 us, max range 0 to 99999,\n"
    "buf size 1 to 30000, num samples not 0, comport 1 to 254, card number\n"
    "0 to 15, a cal file name that ends within its field; each implausible\n"
    "field is named. The file is opened exclusively.\n"
    "\n"
    "Options:\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 header valid, 1 file cannot be opened or header invalid\n"
    "(reason on stderr), 2 usage error.\n"};

// Why a header that was opened did not read: judged from the file's size and
// from what the reader left in the record.
void ReportInvalidHeader(const char* path, const CaptureHeader& header, win::DWORD read_error) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) {
    char text[platform::kErrorDescriptionSize];
    platform::DescribeErrorCode(read_error, text, sizeof text);
    std::fprintf(stderr, "capture-header: %s: reading the header failed: %s\n", path, text);
  } else if (size < kCaptureHeaderBytesOther) {
    std::fprintf(stderr,
                 "capture-header: %s: file is %ju bytes, shorter than a capture header "
                 "(%zu bytes, %zu for version 3)\n",
                 path, size, kCaptureHeaderBytesOther, kCaptureHeaderBytes);
  } else if (header.version == kCaptureHeaderVersion && size < kCaptureHeaderBytes) {
    std::fprintf(stderr,
                 "capture-header: %s: version-3 header lacks its sensor model byte "
                 "(file is %ju bytes)\n",
                 path, size);
  } else if (header.version == kCaptureHeaderVersion) {
    std::fprintf(stderr,
                 "capture-header: %s: sensor model byte is %u; expected 0 (50 kHz) or "
                 "1 (200 kHz)\n",
                 path, static_cast<unsigned>(header.sensor_model));
  } else {
    char text[platform::kErrorDescriptionSize];
    platform::DescribeErrorCode(read_error, text, sizeof text);
    std::fprintf(stderr, "capture-header: %s: reading the header failed: %s\n", path, text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line = StartCommandLine(kProgram, argc, argv);
  const char* path = nullptr;
  ArgStep step;
  for (ArgKind kind; (kind = NextArgument(&line, &step)) != ArgKind::kEnd;) {
    if (kind == ArgKind::kExit) return line.exit_status;
    if (path != nullptr) {
      return UsageError(&line, "expected one capture file, also got '%s'", step.text);
    }
    path = step.text;
  }
  if (path == nullptr) return UsageError(&line, "no capture file given");

  CaptureHeader header{};
  win::HANDLE handle = win::INVALID_HANDLE_VALUE;
  const int valid = ReadCaptureHeader(path, &handle, &header);
  const win::DWORD error = win::GetLastError();
  std::fflush(stdout);
  if (!win::IsValidHandle(handle)) {
    char text[platform::kErrorDescriptionSize];
    platform::DescribeErrorCode(error, text, sizeof text);
    std::fprintf(stderr, "capture-header: cannot open %s: %s\n", path, text);
    return kExitInvalid;
  }
  win::CloseHandle(handle);
  if (!valid) {
    ReportInvalidHeader(path, header, error);
    return kExitInvalid;
  }
  // A text file reads as a header too; say which fields give it away.
  if (ReportImplausibleHeaderFields(header, nullptr) > 0) {
    std::fprintf(stderr, "capture-header: %s: implausible header (not a capture file?):\n", path);
    ReportImplausibleHeaderFields(header, stderr);
    return kExitInvalid;
  }
  return kExitValid;
}
