/* Opens the scanner (the stand-in driver, or the card's) and prints its health
 * figures once a second for a number of seconds, reading every block meanwhile.
 *
 *   health_c CALIBRATION_FILE [SECONDS]
 *
 * Exit status: 0 done, 1 the scanner failed (the library's text says why),
 * 2 usage. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <scanmon/scanmon.h>

static int Fail(const char* what, int status) {
  fprintf(stderr, "health_c: %s: %s (%s)\n", what, scanmon_last_error(),
          scanmon_status_name(status));
  return 1;
}

int main(int argc, char** argv) {
  scanmon_scanner_settings settings;
  scanmon_source* source = NULL;
  scanmon_block block;
  scanmon_health health;
  long seconds = 5;
  long shown = 0;
  int64_t next_ns = 0;
  int status;

  if (argc < 2 || argc > 3 || strlen(argv[1]) >= SCANMON_PATH_BYTES) {
    fprintf(stderr, "usage: health_c CALIBRATION_FILE [SECONDS]\n");
    return 2;
  }
  if (argc == 3) seconds = strtol(argv[2], NULL, 10);
  if (seconds < 1 || seconds > 86400) {
    fprintf(stderr, "health_c: SECONDS must be 1 to 86400\n");
    return 2;
  }
  printf("scanmon library %s\n", scanmon_version_text());

  scanmon_scanner_settings_init(&settings);
  strcpy(settings.calibration_file, argv[1]);
  settings.motor_power[0] = 200; /* the mirror's motor */
  status = scanmon_open_scanner(&settings, &source);
  if (status != SCANMON_OK) return Fail("opening the scanner", status);

  health.struct_size = sizeof health;
  while (shown < seconds) {
    /* Blocks are read as they come; only the figures are printed. */
    status = scanmon_read_block(source, 200, &block, NULL, NULL, 0);
    if (status != SCANMON_OK && status != SCANMON_TIMEOUT) {
      Fail("reading", status);
      scanmon_close(source);
      return 1;
    }
    if (status == SCANMON_OK && block.mono_ns < next_ns) continue;
    if (status == SCANMON_OK) next_ns = block.mono_ns + 1000000000;
    if (status == SCANMON_TIMEOUT) continue;
    scanmon_health_get(source, &health);
    printf("mirror %.3f rev/s, %.0f samples/s, %llu samples, %llu lost, %llu dropped%s\n",
           health.rate_mean, health.samples_per_s, (unsigned long long)health.samples,
           (unsigned long long)health.lost_events, (unsigned long long)health.samples_dropped,
           health.no_index_warning ? ", no index mark" : "");
    fflush(stdout);
    ++shown;
  }
  status = scanmon_close(source);
  return status == SCANMON_OK ? 0 : Fail("closing", status);
}
