// The C interface: every argument checked here, then handed to the source.
//
// Handles are checked against the set of open sources, so a null, closed or
// made-up handle is refused with SCANMON_E_ARGUMENT rather than followed.
//
// Calls on one source must not overlap, but a caller that gets it wrong (a
// second thread reading, a close while a read waits) is told so rather than
// left with corrupt memory: every call on a source claims it for its duration
// under the handles' lock, and a call that finds it claimed is refused with
// SCANMON_E_STATE. A close is such a call: it cannot free the source while
// another thread's read is inside it, because that read holds the claim.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "capture/capture_config.h"
#include "capture/config_warning.h"
#include "libscanmon/capture_source.h"
#include "libscanmon/remote_source.h"
#include "libscanmon/scanner_source.h"
#include "libscanmon/source.h"
#include "libscanmon/source_clock.h"
#include "properties/properties.h"
#include "properties/property_check.h"
#include "scanmon/scanmon.h"
#include "stream/stream_protocol.h"

struct scanmon_source {
  std::unique_ptr<scanmon_lib::Source> impl;
  bool in_use = false;             // a call is running on it (under g_handles_mutex)
  scanmon_lib::SourceClock clock;  // fed with every block read (scanmon_block_times_get)
};

namespace {

using scanmon_lib::ClearError;
using scanmon_lib::SetError;

std::mutex g_handles_mutex;
std::set<const scanmon_source*>& Handles() {
  static std::set<const scanmon_source*> handles;
  return handles;
}

int BadHandle(const char* call) {
  return SetError(SCANMON_E_ARGUMENT, "%s: the source is null, closed or not one of this library's",
                  call);
}

int InUse(const char* call) {
  return SetError(SCANMON_E_STATE,
                  "%s: another call on this source is still running (calls on one source must "
                  "not overlap: one thread at a time)",
                  call);
}

// One call's hold on an open source (source.h).
using Claim = scanmon_lib::HandleClaim;

int Adopt(std::unique_ptr<scanmon_lib::Source> impl, scanmon_source** source) {
  auto* handle = new (std::nothrow) scanmon_source;
  if (handle == nullptr) return SetError(SCANMON_E_MEMORY, "out of memory for the source");
  handle->impl = std::move(impl);
  scanmon_source_info info{};
  info.struct_size = sizeof info;
  handle->impl->Info(&info);
  handle->clock.Start(info.sample_period_us,
                      info.kind != SCANMON_SOURCE_CAPTURE || info.has_index != 0);
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  Handles().insert(handle);
  *source = handle;
  return SCANMON_OK;
}

bool InRange(std::int32_t value, std::int32_t low, std::int32_t high) {
  return value >= low && value <= high;
}

// The settings' values, each against what the card and the library accept.
int CheckSettings(const scanmon_scanner_settings& s) {
  struct Rule {
    const char* name;
    std::int32_t value, low, high;
  } rules[] = {
      {"com_port", s.com_port, 1, 255},
      {"card_number", s.card_number, 0, 15},
      {"sample_period_us", s.sample_period_us, 5, 1000000},
      {"max_range_in", s.max_range_in, 1, 99999},
      {"mirror_encoder_counts", s.mirror_encoder_counts, 1, 65536},
      {"second_encoder_counts", s.second_encoder_counts, 1, 65536},
      {"settle_ms", s.settle_ms, 0, 600000},
      {"fetch_samples", s.fetch_samples, 1, SCANMON_MAX_FETCH_SAMPLES},
      {"ring_ms", s.ring_ms, 1, 60000},
      {"keep_raw", s.keep_raw, 0, 1},
      {"single_cpu", s.single_cpu, 0, 1},
      {"raise_priority", s.raise_priority, 0, 1},
      {"print_messages", s.print_messages, 0, 1},
  };
  for (const Rule& rule : rules) {
    if (!InRange(rule.value, rule.low, rule.high)) {
      return SetError(SCANMON_E_ARGUMENT, "settings: %s is %ld; it must be %ld to %ld", rule.name,
                      static_cast<long>(rule.value), static_cast<long>(rule.low),
                      static_cast<long>(rule.high));
    }
  }
  for (int m = 0; m < SCANMON_MOTORS; ++m) {
    if (!InRange(s.motor_power[m], -1, 255)) {
      return SetError(SCANMON_E_ARGUMENT,
                      "settings: motor_power[%d] is %ld; it must be 0 to 255, or -1 (not switched)",
                      m, static_cast<long>(s.motor_power[m]));
    }
  }
  if (std::memchr(s.calibration_file, '\0', sizeof s.calibration_file) == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "settings: calibration_file is not NUL-terminated");
  }
  if (s.calibration_file[0] == '\0') {
    return SetError(SCANMON_E_ARGUMENT, "settings: calibration_file names no file");
  }
  return SCANMON_OK;
}

void Defaults(scanmon_scanner_settings* s) {
  std::memset(s, 0, sizeof *s);
  s->struct_size = sizeof *s;
  s->com_port = 1;
  s->card_number = 0;
  s->sample_period_us = 20;
  s->max_range_in = 1200;
  s->mirror_encoder_counts = 4096;
  s->second_encoder_counts = 200;
  for (std::int32_t& power : s->motor_power) power = -1;
  s->settle_ms = 0;
  s->fetch_samples = 5000;
  s->ring_ms = 1000;
}

// The sizes of structs that have grown since 1.1.0, as 1.1.0 defined them:
// a caller built against that header gets the fields it knows.
constexpr std::uint32_t kSourceInfoBytes_1_1 = 40;
constexpr std::uint32_t kHealthBytes_1_1 = 192;
static_assert(offsetof(scanmon_source_info, records_expected) == kSourceInfoBytes_1_1,
              "fields are only added at the end");
static_assert(offsetof(scanmon_health, run_s_known) == kHealthBytes_1_1,
              "fields are only added at the end");

// The first struct_size bytes of a struct the library filled into the
// caller's (whose struct_size has been checked), struct_size kept.
template <typename Struct>
void CopyServed(const Struct* full, std::size_t full_bytes, Struct* out) {
  const std::uint32_t size = out->struct_size;
  std::memcpy(out, full, size < full_bytes ? size : full_bytes);
  out->struct_size = size;
}

// The warnings a settings reader hands its caller.
bool StartWarnings(scanmon_settings_warnings* warnings) {
  if (warnings == nullptr) return true;
  if (warnings->struct_size != sizeof *warnings || !InRange(warnings->refuse, 0, 1)) return false;
  warnings->count = 0;
  warnings->text[0] = '\0';
  return true;
}

int WarningsRefused(const char* call) {
  return SetError(SCANMON_E_ARGUMENT,
                  "%s: warnings' struct_size is not %u or refuse is not 0 or 1 (fill it with "
                  "scanmon_settings_warnings_init)",
                  call, static_cast<unsigned>(sizeof(scanmon_settings_warnings)));
}

// Adds one warning line (with its line feed) to the text; when it does not
// fit, "...\n" ends the text instead (once).
void AddWarning(scanmon_settings_warnings* warnings, const char* line) {
  ++warnings->count;
  char* text = warnings->text;
  const std::size_t used = std::strlen(text);
  static const char kMore[] = "...\n";
  if (used >= sizeof kMore - 1 && std::strcmp(text + used - (sizeof kMore - 1), kMore) == 0) {
    return;  // already cut
  }
  const std::size_t length = std::strlen(line);
  if (used + length + sizeof kMore <= sizeof warnings->text) {
    std::memcpy(text + used, line, length + 1);
  } else if (used + sizeof kMore <= sizeof warnings->text) {
    std::memcpy(text + used, kMore, sizeof kMore);
  }
}

int RefuseWarnings(const char* kind, const char* path, const scanmon_settings_warnings& warnings) {
  const char* text = warnings.text;
  const char* end = std::strchr(text, '\n');
  const int first = static_cast<int>(end != nullptr ? end - text : std::strlen(text));
  return SetError(SCANMON_E_SETTINGS,
                  "%s %s: %ld line%s read otherwise than typed (refused as asked); the first: %.*s",
                  kind, path, static_cast<long>(warnings.count), warnings.count == 1 ? "" : "s",
                  first, text);
}

struct ConfigWarnings {
  const char* path;
  scanmon_settings_warnings* warnings;  // null: not wanted
};

void HearNumberWithText(int number, const char* line, std::int32_t value, void* context) {
  auto* heard = static_cast<ConfigWarnings*>(context);
  if (heard->warnings == nullptr) return;
  char text[1024];
  FormatNumberWithText(text, sizeof text, "scanmon_settings_from_config", heard->path, number, line,
                       value);
  AddWarning(heard->warnings, text);
}

// A new file in the system's folder for temporary files, open for writing and
// reading back (std::tmpfile would put it in the root folder of the drive on
// Windows, which a user may not write to); its path in *path.
std::FILE* OpenScratchFile(std::filesystem::path* path) {
  static std::atomic<unsigned> counter{0};
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) return nullptr;
  const unsigned long long stamp =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[96];
    std::snprintf(name, sizeof name, "scanmon-settings-%llx-%x.txt", stamp,
                  counter.fetch_add(1) + 1);
    *path = folder / name;
    if (std::filesystem::exists(*path, error)) continue;  // never another's
    std::FILE* file = std::fopen(path->string().c_str(), "w+");
    if (file != nullptr) return file;
  }
  return nullptr;
}

// The properties file's lines checked as scanmon-preflight checks them, its
// findings as warnings. The check writes to a stream: a scratch file here,
// read back line by line and removed.
void CheckPropertiesLines(const char* path, scanmon_settings_warnings* warnings) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return;  // the reader below says so
  std::filesystem::path scratch;
  std::FILE* out = OpenScratchFile(&scratch);
  if (out == nullptr) {
    std::fclose(file);
    AddWarning(warnings, "(the properties lines could not be checked: no temporary file)\n");
    return;
  }
  PropertyFindings findings;
  CheckPropertyLines(file, path, out, &findings);
  std::fclose(file);
  std::rewind(out);
  // A finding is its "FAILED:" or "note:" line and the hint lines after it.
  char line[512];
  char finding[1024] = "";
  int findings_seen = 0;
  auto flush = [&]() {
    if (finding[0] == '\0') return;
    AddWarning(warnings, finding);
    finding[0] = '\0';
    ++findings_seen;
  };
  while (std::fgets(line, sizeof line, out) != nullptr) {
    if (std::strncmp(line, "  ", 2) != 0) flush();
    const std::size_t used = std::strlen(finding);
    std::snprintf(finding + used, sizeof finding - used, "%s", line);
  }
  flush();
  std::fclose(out);
  std::error_code ignored;
  std::filesystem::remove(scratch, ignored);
  // Every finding counts, also if its text was lost.
  warnings->count += findings.errors + findings.notes - findings_seen;
}

bool CopyPath(const char* from, char* to, std::size_t size) {
  if (from == nullptr) return false;
  std::size_t length = std::strlen(from);
  if (length == 0 || length >= size) return false;
  std::memcpy(to, from, length + 1);
  return true;
}

}  // namespace

scanmon_lib::HandleClaim::HandleClaim(scanmon_source* handle, const char* call) : handle_(handle) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  if (handle == nullptr || Handles().count(handle) == 0) {
    status_ = BadHandle(call);
  } else if (handle->in_use) {
    status_ = InUse(call);
  } else {
    handle->in_use = true;
    status_ = SCANMON_OK;
    source_ = handle->impl.get();
  }
}

scanmon_lib::HandleClaim::~HandleClaim() {
  if (status_ != SCANMON_OK) return;
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  handle_->in_use = false;
}

void scanmon_lib::SettingsFromCaptureConfig(const CaptureConfig& config,
                                            scanmon_scanner_settings* s) {
  Defaults(s);
  s->com_port = config.header.comport;
  s->card_number = config.header.card_number;
  s->sample_period_us = static_cast<std::int32_t>(config.header.sample_period);
  s->max_range_in = static_cast<std::int32_t>(config.header.max_range);
  s->fetch_samples = static_cast<std::int32_t>(config.header.buf_size);
  s->motor_power[0] = config.header.motor1_power;
  s->motor_power[1] = config.header.motor2_power;
  s->mirror_encoder_counts = config.header.motor1_encoder_ppr;
  s->second_encoder_counts = config.header.motor2_encoder_ppr;
  s->settle_ms = config.stabilization_delay_ms < 0 ? 0 : config.stabilization_delay_ms;
  s->single_cpu = config.single_cpu;
  s->keep_raw = config.write_raw;
  s->raise_priority = 1;
  std::memcpy(s->calibration_file, config.header.cal_file, sizeof s->calibration_file);
  s->calibration_file[sizeof s->calibration_file - 1] = '\0';
}

extern "C" {

const char* scanmon_status_name(int status) {
  switch (status) {
#define SCANMON_NAME(code) \
  case code:               \
    return #code;
    SCANMON_NAME(SCANMON_OK)
    SCANMON_NAME(SCANMON_TIMEOUT)
    SCANMON_NAME(SCANMON_END)
    SCANMON_NAME(SCANMON_E_ARGUMENT)
    SCANMON_NAME(SCANMON_E_BUFFER)
    SCANMON_NAME(SCANMON_E_SETTINGS)
    SCANMON_NAME(SCANMON_E_DRIVER)
    SCANMON_NAME(SCANMON_E_BRING_UP)
    SCANMON_NAME(SCANMON_E_FETCH)
    SCANMON_NAME(SCANMON_E_BUSY)
    SCANMON_NAME(SCANMON_E_FILE)
    SCANMON_NAME(SCANMON_E_FORMAT)
    SCANMON_NAME(SCANMON_E_MEMORY)
    SCANMON_NAME(SCANMON_E_STATE)
    SCANMON_NAME(SCANMON_E_CONNECTION)
#undef SCANMON_NAME
  }
  return "SCANMON_UNKNOWN";
}

const char* scanmon_last_error(void) {
  return scanmon_lib::LastError();
}

int scanmon_version(int* major, int* minor, int* patch) {
  if (major != nullptr) *major = SCANMON_VERSION_MAJOR;
  if (minor != nullptr) *minor = SCANMON_VERSION_MINOR;
  if (patch != nullptr) *patch = SCANMON_VERSION_PATCH;
  return SCANMON_VERSION_MAJOR * 10000 + SCANMON_VERSION_MINOR * 100 + SCANMON_VERSION_PATCH;
}

const char* scanmon_version_text(void) {
#define SCANMON_TEXT(x) #x
#define SCANMON_VERSION_STRING(a, b, c) SCANMON_TEXT(a) "." SCANMON_TEXT(b) "." SCANMON_TEXT(c)
  return SCANMON_VERSION_STRING(SCANMON_VERSION_MAJOR, SCANMON_VERSION_MINOR,
                                SCANMON_VERSION_PATCH);
#undef SCANMON_VERSION_STRING
#undef SCANMON_TEXT
}

int scanmon_scanner_settings_init(scanmon_scanner_settings* settings) {
  ClearError();
  if (settings == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_scanner_settings_init: settings is null");
  }
  Defaults(settings);
  return SCANMON_OK;
}

int scanmon_settings_warnings_init(scanmon_settings_warnings* warnings) {
  ClearError();
  if (warnings == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_settings_warnings_init: warnings is null");
  }
  std::memset(warnings, 0, sizeof *warnings);
  warnings->struct_size = sizeof *warnings;
  return SCANMON_OK;
}

int scanmon_settings_from_config(const char* path, scanmon_scanner_settings* settings) {
  return scanmon_settings_from_config_checked(path, settings, nullptr);
}

int scanmon_settings_from_config_checked(const char* path, scanmon_scanner_settings* settings,
                                         scanmon_settings_warnings* warnings) {
  ClearError();
  if (path == nullptr || settings == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_settings_from_config: path or settings is null");
  }
  if (!StartWarnings(warnings)) return WarningsRefused("scanmon_settings_from_config_checked");
  CaptureConfig config;
  CaptureConfigReport report;
  ConfigWarnings heard{path, warnings};
  report.on_number_with_text = HearNumberWithText;
  report.context = &heard;
  if (!ReadCaptureConfigRecord(path, &config, report)) {
    return SetError(SCANMON_E_SETTINGS,
                    "cannot use the capture configuration %s: it cannot be opened or a line "
                    "failed (its messages are on standard output)",
                    path);
  }
  if (warnings != nullptr && warnings->refuse && warnings->count > 0) {
    return RefuseWarnings("capture configuration", path, *warnings);
  }
  scanmon_scanner_settings s;
  scanmon_lib::SettingsFromCaptureConfig(config, &s);
  int status = CheckSettings(s);
  if (status != SCANMON_OK) {
    return SetError(SCANMON_E_SETTINGS, "capture configuration %s: %s", path,
                    scanmon_lib::LastError());
  }
  *settings = s;
  return SCANMON_OK;
}

int scanmon_settings_from_properties(const char* path, scanmon_scanner_settings* settings) {
  return scanmon_settings_from_properties_checked(path, settings, nullptr);
}

int scanmon_settings_from_properties_checked(const char* path, scanmon_scanner_settings* settings,
                                             scanmon_settings_warnings* warnings) {
  ClearError();
  if (path == nullptr || settings == nullptr) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_settings_from_properties: path or settings is null");
  }
  if (!StartWarnings(warnings)) return WarningsRefused("scanmon_settings_from_properties_checked");
  if (warnings != nullptr) {
    CheckPropertiesLines(path, warnings);
    if (warnings->refuse && warnings->count > 0) {
      return RefuseWarnings("properties", path, *warnings);
    }
  }
  RunProperties* properties = ReadProperties(path);
  if (properties == nullptr) {
    return SetError(SCANMON_E_SETTINGS, "cannot open the properties file %s", path);
  }
  scanmon_scanner_settings s;
  Defaults(&s);
  s.com_port = properties->laser_serial_port;
  s.card_number = properties->laser_hsif_board;
  s.sample_period_us = properties->laser_sample_period;
  s.max_range_in = properties->laser_max_range;
  s.settle_ms = 5000;
  bool motor_ok = InRange(properties->laser_motor_number, 1, SCANMON_MOTORS);
  if (motor_ok) s.motor_power[properties->laser_motor_number - 1] = properties->laser_power_level;
  bool path_ok =
      CopyPath(properties->calibration_file, s.calibration_file, sizeof s.calibration_file);
  // The record's texts are heap copies the reader leaves to its caller.
  for (char* text : {properties->gyro_serial_port, properties->gyro_mode,
                     properties->gps_serial_port, properties->calibration_file}) {
    std::free(text);
  }
  std::free(properties);
  if (!motor_ok) {
    return SetError(SCANMON_E_SETTINGS, "properties %s: laser_motor_number must be 1 to %d", path,
                    SCANMON_MOTORS);
  }
  if (!path_ok) {
    return SetError(SCANMON_E_SETTINGS,
                    "properties %s: calibration_file is missing or longer than %d characters", path,
                    SCANMON_PATH_BYTES - 1);
  }
  int status = CheckSettings(s);
  if (status != SCANMON_OK) {
    return SetError(SCANMON_E_SETTINGS, "properties %s: %s", path, scanmon_lib::LastError());
  }
  *settings = s;
  return SCANMON_OK;
}

int scanmon_open_scanner(const scanmon_scanner_settings* settings, scanmon_source** source) {
  ClearError();
  if (source == nullptr)
    return SetError(SCANMON_E_ARGUMENT, "scanmon_open_scanner: source is null");
  *source = nullptr;
  if (settings == nullptr || settings->struct_size != sizeof(scanmon_scanner_settings)) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_open_scanner: settings is null or its struct_size is not %u "
                    "(fill it with scanmon_scanner_settings_init)",
                    static_cast<unsigned>(sizeof(scanmon_scanner_settings)));
  }
  int status = CheckSettings(*settings);
  if (status != SCANMON_OK) return status;
  std::unique_ptr<scanmon_lib::Source> impl;
  status = scanmon_lib::OpenScannerSource(*settings, &impl);
  if (status != SCANMON_OK) return status;
  return Adopt(std::move(impl), source);
}

int scanmon_capture_options_init(scanmon_capture_options* options) {
  ClearError();
  if (options == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_capture_options_init: options is null");
  }
  std::memset(options, 0, sizeof *options);
  options->struct_size = sizeof *options;
  return SCANMON_OK;
}

int scanmon_open_capture(const char* base, const scanmon_capture_options* options,
                         scanmon_source** source) {
  ClearError();
  if (source == nullptr)
    return SetError(SCANMON_E_ARGUMENT, "scanmon_open_capture: source is null");
  *source = nullptr;
  if (base == nullptr || base[0] == '\0') {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_open_capture: no base name given");
  }
  scanmon_capture_options o;
  scanmon_capture_options_init(&o);
  if (options != nullptr) {
    if (options->struct_size != sizeof o) {
      return SetError(SCANMON_E_ARGUMENT,
                      "scanmon_open_capture: options' struct_size is not %u (fill it with "
                      "scanmon_capture_options_init)",
                      static_cast<unsigned>(sizeof o));
    }
    o = *options;
  }
  if (!InRange(o.paced, 0, 1) || !InRange(o.loop, 0, 1) || !InRange(o.with_raw, 0, 1) ||
      !InRange(o.ignore_index, 0, 1) || !InRange(o.block_samples, 0, SCANMON_MAX_FETCH_SAMPLES)) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_open_capture: paced, loop, with_raw and ignore_index must be 0 or 1, "
                    "block_samples 0 to %d",
                    SCANMON_MAX_FETCH_SAMPLES);
  }
  std::unique_ptr<scanmon_lib::Source> impl;
  int status = scanmon_lib::OpenCaptureSource(base, o, &impl);
  if (status == SCANMON_OK) status = scanmon_lib::LoadCaptureFieldMap(base, impl.get());
  if (status != SCANMON_OK) return status;
  return Adopt(std::move(impl), source);
}

int scanmon_remote_options_init(scanmon_remote_options* options) {
  ClearError();
  if (options == nullptr) {
    return SetError(SCANMON_E_ARGUMENT, "scanmon_remote_options_init: options is null");
  }
  std::memset(options, 0, sizeof *options);
  options->struct_size = sizeof *options;
  options->connect_timeout_ms = 5000;
  return SCANMON_OK;
}

int scanmon_open_remote(const char* address, std::uint16_t port,
                        const scanmon_remote_options* options, scanmon_source** source) {
  ClearError();
  if (source == nullptr) return SetError(SCANMON_E_ARGUMENT, "scanmon_open_remote: source is null");
  *source = nullptr;
  // A host name is at most 253 characters, an IPv6 address in brackets far
  // fewer; printable ASCII without spaces only.
  std::size_t address_length = 0;
  bool address_plain = address != nullptr;
  for (; address_plain && address[address_length] != '\0' && address_length < 254;
       ++address_length) {
    const unsigned char c = static_cast<unsigned char>(address[address_length]);
    address_plain = c > 0x20 && c < 0x7f;
  }
  if (!address_plain || address_length == 0 || address_length >= 254 || port == 0) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_open_remote: the address must be a dotted IPv4 address, an IPv6 "
                    "address (bare or in brackets) or a host name, the port 1 to 65535");
  }
  scanmon_remote_options o;
  scanmon_remote_options_init(&o);
  if (options != nullptr) {
    if (options->struct_size != sizeof o) {
      return SetError(SCANMON_E_ARGUMENT,
                      "scanmon_open_remote: options' struct_size is not %u (fill it with "
                      "scanmon_remote_options_init)",
                      static_cast<unsigned>(sizeof o));
    }
    o = *options;
  }
  if (!InRange(o.with_raw, 0, 1) || !InRange(o.connect_timeout_ms, 1, 600000) ||
      std::memchr(o.key, '\0', sizeof o.key) == nullptr) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_open_remote: with_raw must be 0 or 1, connect_timeout_ms 1 to "
                    "600000, the key NUL-terminated");
  }
  std::unique_ptr<scanmon_lib::Source> impl;
  int status = scanmon_lib::OpenRemoteSource(address, port, o, &impl);
  if (status != SCANMON_OK) return status;
  return Adopt(std::move(impl), source);
}

int scanmon_close(scanmon_source* source) {
  ClearError();
  if (source == nullptr) return SCANMON_OK;
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    if (Handles().count(source) == 0) return BadHandle("scanmon_close");
    // A read waiting inside the source holds it: freeing it now would pull
    // the memory from under that thread.
    if (source->in_use) return InUse("scanmon_close");
    Handles().erase(source);
  }
  delete source;  // the source's destructor stops its thread and releases the card
  return SCANMON_OK;
}

int scanmon_read_block(scanmon_source* source, std::int32_t timeout_ms, scanmon_block* block,
                       scanmon_sample* samples, scanmon_raw_sample* raw, std::uint32_t capacity) {
  ClearError();
  Claim claim(source, "scanmon_read_block");
  if (claim.status() != SCANMON_OK) return claim.status();
  if (block == nullptr) return SetError(SCANMON_E_ARGUMENT, "scanmon_read_block: block is null");
  if (raw != nullptr) {
    scanmon_source_info info{};
    source->impl->Info(&info);
    if (!info.has_raw) {
      return SetError(SCANMON_E_ARGUMENT,
                      "scanmon_read_block: this source keeps no raw records (keep_raw / with_raw)");
    }
  }
  int status = source->impl->ReadBlock(timeout_ms, block, samples, raw, capacity);
  if (status == SCANMON_OK) {
    source->clock.Add(*block);
    block->reserved = 0;  // the scanner source's note to the clock (source_clock.cpp)
  }
  return status;
}

int scanmon_block_times_get(scanmon_source* source, scanmon_block_times* times) {
  ClearError();
  Claim claim(source, "scanmon_block_times_get");
  if (claim.status() != SCANMON_OK) return claim.status();
  if (times == nullptr || times->struct_size != sizeof *times) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_block_times_get: times is null or its struct_size is not %u",
                    static_cast<unsigned>(sizeof *times));
  }
  source->clock.Times(times);
  return SCANMON_OK;
}

int scanmon_source_info_get(scanmon_source* source, scanmon_source_info* info) {
  ClearError();
  Claim claim(source, "scanmon_source_info_get");
  if (claim.status() != SCANMON_OK) return claim.status();
  if (info == nullptr ||
      (info->struct_size != sizeof *info && info->struct_size != kSourceInfoBytes_1_1)) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_source_info_get: info is null or its struct_size is not %u",
                    static_cast<unsigned>(sizeof *info));
  }
  scanmon_source_info full{};
  full.struct_size = sizeof full;
  source->impl->Info(&full);
  CopyServed(&full, sizeof full, info);
  return SCANMON_OK;
}

int scanmon_health_get(scanmon_source* source, scanmon_health* health) {
  ClearError();
  Claim claim(source, "scanmon_health_get");
  if (claim.status() != SCANMON_OK) return claim.status();
  if (health == nullptr ||
      (health->struct_size != sizeof *health && health->struct_size != kHealthBytes_1_1)) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_health_get: health is null or its struct_size is not %u",
                    static_cast<unsigned>(sizeof *health));
  }
  scanmon_health full{};
  full.struct_size = sizeof full;
  source->impl->Health(&full);
  CopyServed(&full, sizeof full, health);
  return SCANMON_OK;
}

int scanmon_capture_header_get(scanmon_source* source, scanmon_capture_header* header) {
  ClearError();
  Claim claim(source, "scanmon_capture_header_get");
  if (claim.status() != SCANMON_OK) return claim.status();
  if (header == nullptr || header->struct_size != sizeof *header) {
    return SetError(SCANMON_E_ARGUMENT,
                    "scanmon_capture_header_get: header is null or its struct_size is not %u",
                    static_cast<unsigned>(sizeof *header));
  }
  source->impl->Header(header);
  return SCANMON_OK;
}

}  // extern "C"
