#include "tests/capture/config_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/scratch_dir.h"

ConfigRun RunConfig(const std::string& content, std::int64_t version) {
  const test_support::ScratchDir dir;
  const std::string path = dir.Write("capture_config", content);

  ConfigRun run;
  std::memset(&run.header, kJunkByte, sizeof run.header);
  if (version >= 0) run.header.version = static_cast<std::uint32_t>(version);
  std::memset(&run.delay_ms, kJunkByte, sizeof run.delay_ms);
  std::strcpy(run.capture_file, kJunkName);
  std::strcpy(run.prc_file, kJunkName);
  run.single_cpu = kJunkByte;
  run.write_raw = kJunkByte;
  ::testing::internal::CaptureStdout();
  run.result = ReadCaptureConfig(path.c_str(), &run.header, &run.delay_ms, run.capture_file,
                                 run.prc_file, &run.single_cpu, &run.write_raw);
  run.out = ::testing::internal::GetCapturedStdout();
  return run;
}

std::vector<std::string> GoodLines() {
  return {"3",   "4",    "2",    "10",           "4000",   "1000", "500000", "200",
          "100", "4096", "2048", "lookuphs.cal", "scan01", "3000", "1",      "1"};
}

std::vector<std::string> GoodEchoes() {
  return {"Configuration version = 3\n",
          "Comport = 4\n",
          "Card number = 2\n",
          "Sampling period = 10 us\n",
          "Max range = 4000\n",
          "Buffer Size = 1000\n",
          "Number of samples = 500000\n",
          "Motor 1 power = 200\n",
          "Motor 2 power = 100\n",
          "Motor 1 encoder ppr = 4096\n",
          "Motor 2 encoder ppr = 2048\n",
          "Calibration file = lookuphs.cal\n",
          "Capture file = scan01.raw\n",
          "Motor stabilization delay = 3000 ms\n",
          "Process affinity = 1 \n",
          "Write .raw file if runing va_vaz = 1\n"};
}

std::string JoinLines(const std::vector<std::string>& lines, const char* end) {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}
