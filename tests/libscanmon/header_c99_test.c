/* The public header compiled as C99 with warnings as errors; the records'
 * sizes as a C compiler lays them out. */
#include "scanmon/scanmon.h"

#define SCANMON_CHECK(name, condition) typedef char name[(condition) ? 1 : -1]
SCANMON_CHECK(block_is_64_bytes, sizeof(scanmon_block) == 64);
SCANMON_CHECK(sample_is_64_bytes, sizeof(scanmon_sample) == 64);
SCANMON_CHECK(raw_is_16_bytes, sizeof(scanmon_raw_sample) == 16);
SCANMON_CHECK(health_is_200_bytes, sizeof(scanmon_health) == 200);
SCANMON_CHECK(source_info_is_56_bytes, sizeof(scanmon_source_info) == 56);
SCANMON_CHECK(settings_is_328_bytes, sizeof(scanmon_scanner_settings) == 328);

int main(void) {
  return 0;
}
