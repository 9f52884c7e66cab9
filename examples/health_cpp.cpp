// Opens the scanner (the stand-in driver, or the card's) and prints its health
// figures once a second for a number of seconds, through the C++ layer.
//
//   health_cpp CALIBRATION_FILE [SECONDS]
//
// Exit status: 0 done, 1 the scanner failed (the library's text says why),
// 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <scanmon/scanmon.hpp>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::strlen(argv[1]) >= SCANMON_PATH_BYTES) {
    std::fprintf(stderr, "usage: health_cpp CALIBRATION_FILE [SECONDS]\n");
    return 2;
  }
  const long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 5;
  if (seconds < 1 || seconds > 86400) {
    std::fprintf(stderr, "health_cpp: SECONDS must be 1 to 86400\n");
    return 2;
  }
  std::printf("scanmon library %s\n", scanmon_version_text());

  scanmon_scanner_settings settings = scanmon::DefaultScannerSettings();
  std::strcpy(settings.calibration_file, argv[1]);
  settings.motor_power[0] = 200;  // the mirror's motor
  scanmon::Source source;
  scanmon::Result r = scanmon::Source::OpenScanner(settings, &source);
  if (!r) {
    std::fprintf(stderr, "health_cpp: opening the scanner: %s (%s)\n", r.text.c_str(), r.name());
    return 1;
  }

  long shown = 0;
  std::int64_t next_ns = 0;
  r = source.ForEachBlock([&](const scanmon::Block& block) {
    if (block.record.mono_ns < next_ns) return true;
    next_ns = block.record.mono_ns + 1000000000;
    scanmon_health health{};
    source.Health(&health);
    std::printf("mirror %.3f rev/s, %.0f samples/s, %llu samples, %llu lost, %llu dropped%s\n",
                health.rate_mean, health.samples_per_s,
                static_cast<unsigned long long>(health.samples),
                static_cast<unsigned long long>(health.lost_events),
                static_cast<unsigned long long>(health.samples_dropped),
                health.no_index_warning ? ", no index mark" : "");
    std::fflush(stdout);
    return ++shown < seconds;
  });
  if (!r) {
    std::fprintf(stderr, "health_cpp: reading: %s (%s)\n", r.text.c_str(), r.name());
    return 1;
  }
  return 0;  // the source closes here: motors off, line and card released
}
