// capture-header and capture-config run as programs, in a scratch folder.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class CaptureToolsTest : public ::testing::Test {
 protected:
  // Runs `exe` in the scratch folder with `args`, split at spaces.
  Outcome Run(const std::string& exe, const std::string& args) {
    test_support::ProcessRequest request;
    request.program = exe;
    request.working_directory = dir_.str();
    std::istringstream words(args);
    for (std::string word; words >> word;) request.args.push_back(word);
    const test_support::ProcessRun run = test_support::RunProcess(request);
    return Outcome{run.exit_status, run.out, run.err};
  }
  Outcome Header(const std::string& args) { return Run(CAPTURE_HEADER_EXE, args); }
  Outcome Config(const std::string& args) { return Run(CAPTURE_CONFIG_EXE, args); }

  test_support::ScratchDir dir_;
};

const char kGoodConfig[] =
    "3\n4\n2\n10\n4000\n1000\n500000\n200\n100\n4096\n2048\nlookuphs.cal\nscan01 ; base\n"
    "3000\n1\n0\n";

std::uint32_t Le32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

TEST_F(CaptureToolsTest, ConfigCheckerWarnsOfTextRightAfterANumber) {
  std::string typo = kGoodConfig;
  typo.replace(typo.find("4000\n"), 5, "12OO ; max range\n");
  dir_.Write("typo.cfg", typo);
  Outcome o = Config("typo.cfg");
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("\nMax range = 12\n"), std::string::npos) << o.out;
  EXPECT_EQ(o.err,
            "capture-config: warning: typo.cfg line 5 (Max range in inches): \"12OO ; max "
            "range\" is read as 12; likely meant 1200 (a letter O typed for a zero)\n");
}

TEST_F(CaptureToolsTest, ConfigCheckerReportsAndWritesTheHeader) {
  dir_.Write("good.cfg", kGoodConfig);
  Outcome o = Config("good.cfg");
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.out.starts_with("Configuration version = 3\nComport = 4\n")) << o.out;
  EXPECT_TRUE(o.out.ends_with("Write .raw file if runing va_vaz = 0\n")) << o.out;
  EXPECT_EQ(o.err, "");
  EXPECT_FALSE(fs::exists(dir_.path() / "scan01.raw"));

  o = Config("--write-header --calibration-value -42 --sensor-model 200 good.cfg");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(o.out.ends_with("Wrote 293-byte capture header to scan01.raw\n")) << o.out;
  std::string raw = dir_.Read("scan01.raw");
  ASSERT_EQ(raw.size(), 293u);
  EXPECT_EQ(Le32(raw, 0), 3u);
  EXPECT_EQ(Le32(raw, 28), static_cast<std::uint32_t>(-42));
  EXPECT_EQ(raw.substr(36, 13), std::string("lookuphs.cal\0", 13));
  EXPECT_EQ(raw[292], 1);

  // An existing capture is kept unless the operator insists.
  o = Config("--write-header --calibration-value 7 --sensor-model=50 good.cfg");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("scan01.raw already exists; use --force"), std::string::npos) << o.err;
  EXPECT_EQ(dir_.Read("scan01.raw"), raw);
  o = Config("--write-header --force --calibration-value=7 --sensor-model 50 good.cfg");
  EXPECT_EQ(o.status, 0) << o.err;
  raw = dir_.Read("scan01.raw");
  EXPECT_EQ(Le32(raw, 28), 7u);
  EXPECT_EQ(raw[292], 0);

  // The header tool reads back what the config tool wrote.
  o = Header("scan01.raw");
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.out.starts_with("Read Header\n Header Version: 3\n")) << o.out;
  EXPECT_TRUE(
      o.out.ends_with(" Calibration value: 7\n Comport: 4\n Card number: 2\n"
                      " Cal file: lookuphs.cal\n Sensor Model: AR4000 - 50 kHz\n"))
      << o.out;
}

TEST_F(CaptureToolsTest, ConfigCheckerRefusesBadConfigurationsAndArguments) {
  dir_.Write("good.cfg", kGoodConfig);
  dir_.Write("bad.cfg", "3\n0\n");
  dir_.Write("short.cfg", "3\n4\n2\n");
  std::string no_folder = kGoodConfig;
  no_folder.replace(no_folder.find("scan01 ; base"), 6, "gone/scan01");
  dir_.Write("no_folder.cfg", no_folder);
  dir_.Write("long.cfg", "3\n4\n2\nx\t" + std::string(200, 'x') + "\n");
  struct Case {
    std::string args;
    int status;
    std::string err;  // part of stderr
  };
  const std::vector<Case> cases = {
      {"bad.cfg", 1,
       "capture-config: bad.cfg line 2 (Com port): \"0\"; accepted: a whole number 1 to 254\n"
       "capture-config: bad.cfg is not a valid capture configuration\n"},
      {"long.cfg", 1,
       "capture-config: long.cfg line 4 (Sampling period in microseconds): \"x?" +
           std::string(78, 'x') + "...\"; accepted: a whole number of microseconds, 5 or more\n"},
      {"--write-header --calibration-value 1 --sensor-model 50 bad.cfg", 1, "no header written"},
      {"--write-header --calibration-value 1 --sensor-model 50 short.cfg", 1,
       "names no capture file"},
      {"--write-header --calibration-value 1 --sensor-model 50 no_folder.cfg", 1,
       "capture-config: cannot create gone/scan01.raw: The system cannot find the "},
      {"missing.cfg", 1, "missing.cfg is not a valid"},
      {"", 2, "no configuration file given"},
      {"good.cfg other.cfg", 2, "expected one configuration file"},
      {"--write-header good.cfg", 2, "needs --calibration-value and --sensor-model"},
      {"--write-header --calibration-value 1 --sensor-model 100 good.cfg", 2,
       "--sensor-model must be 50 or 200"},
      {"--write-header --calibration-value 4294967296 --sensor-model 50 good.cfg", 2,
       "--calibration-value must be a whole number from -2147483648 to 2147483647, not "
       "'4294967296'"},
      {"--calibration-value", 2, "missing value for --calibration-value"},
      {"--bogus good.cfg", 2, "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome o = Config(c.args);
    EXPECT_EQ(o.status, c.status);
    EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "scan01.raw"));
  EXPECT_EQ(Config("bad.cfg").out,
            "Configuration version = 3\nError reading parameter 2: "
            "\"Com port\"\n\nERROR: Configuration file parse failed.\n");
}

// A plausible version-3 header: 20 us, 1200 in, 1000-sample buffer, 50000
// samples, COM1, card 0, no calibration file name.
std::string PlausibleHeader() {
  std::string bytes(293, '\0');
  const std::uint32_t fields[] = {3, 20, 1200, 1000, 50000};
  for (std::size_t f = 0; f < 5; ++f) {
    for (int b = 0; b < 4; ++b) bytes[f * 4 + b] = static_cast<char>(fields[f] >> (8 * b));
  }
  bytes[34] = 1;
  return bytes;
}

TEST_F(CaptureToolsTest, HeaderCheckerSaysWhyAHeaderIsInvalid) {
  std::string v3 = PlausibleHeader();
  std::string v2 = v3.substr(0, 292);
  v2[0] = 2;
  std::string bad_model = v3;
  bad_model[292] = 2;
  dir_.Write("v3.raw", v3);
  dir_.Write("v2.raw", v2);
  dir_.Write("bad_model.raw", bad_model);
  dir_.Write("no_model.raw", v3.substr(0, 292));
  dir_.Write("short.raw", v3.substr(0, 100));
  // Text reads as a header of version 538976307 ("3   ").
  std::string text = "3   This is a note, not a capture.\n";
  while (text.size() < 300) text += text;
  dir_.Write("note.txt", text);
  std::string odd = v3;
  odd[4] = 4;    // sampling period 4
  odd[34] = 0;   // COM0
  odd[35] = 16;  // card 16
  dir_.Write("odd.raw", odd);
  struct Case {
    std::string args;
    int status;
    const char* out;  // part of stdout
    const char* err;  // part of stderr
  };
  const std::vector<Case> cases = {
      {"v3.raw", 0, " Sensor Model: AR4000 - 50 kHz\n", ""},
      {"v2.raw", 0, " Sensor Model: AR4000 - unknown\n", ""},
      {"bad_model.raw", 1, "", "sensor model byte is 2; expected 0 (50 kHz) or 1 (200 kHz)"},
      {"no_model.raw", 1, "", "version-3 header lacks its sensor model byte"},
      {"short.raw", 1, "", "file is 100 bytes, shorter than a capture header"},
      {"note.txt", 1, " Header Version: 538976307\n",
       "capture-header: note.txt: implausible header (not a capture file?):\n"
       "  version 538976307: this system writes 3 and reads 1 to 3\n"
       "  sampling period 1936287828: expected 5 to 1000000 us\n"},
      {"odd.raw", 1, " Sensor Model: AR4000 - 50 kHz\n",
       ":\n  sampling period 4: expected 5 to 1000000 us\n  comport 0: expected 1 to 254\n"
       "  card number 16: expected 0 to 15\n"},
      {"missing.raw", 1, "Could not open missing.raw\n",
       "capture-header: cannot open missing.raw: The system cannot find the file specified. "
       "(error 2)\n"},
      {"", 2, "", "no capture file given"},
      {"v3.raw v2.raw", 2, "", "expected one capture file"},
      {"--verbose v3.raw", 2, "", "unknown option --verbose"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome o = Header(c.args);
    EXPECT_EQ(o.status, c.status);
    EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
    if (c.status == 1 && c.out[0] == '\0') {
      EXPECT_EQ(o.out, "");
    }
  }
}

}  // namespace
