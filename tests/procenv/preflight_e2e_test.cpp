// scanmon-preflight run the way an operator runs it: in a folder with a
// properties file, against the stand-in driver and a pseudo-terminal bound to
// the sensor's COM number; and against a missing file, driver, port and
// calibration file, and values the card cannot take, each reported with its
// message and status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pty_pair.h"
#include "tests/support/run_process.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;
using test_support::ProcessRequest;
using test_support::ProcessRun;
using test_support::RunProcess;

namespace {

struct Scenario {
  const char* label;
  const char* properties;    // null: no properties.txt
  bool driver_found;         // the program with the stand-in on its RUNPATH
  const char* library_path;  // LD_LIBRARY_PATH for the program without one
  const char* port_binding;  // "pty": COM7 bound to the pseudo-terminal
  std::vector<const char*> args;
  int exit_status;
  std::vector<std::string> out;  // parts standard output must hold
  std::vector<std::string> err;  // parts standard error must hold
};

void PrintTo(const Scenario& scenario, std::ostream* os) {
  *os << scenario.label;
}

const char* const kGoodProperties =
    "laser_serial_port=7\nlaser_hsif_board=0\nlaser_sample_period=20\nlaser_max_range=1200\n"
    "calibration_file=ar4000_demo.cal\n";

class Preflight : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    fs::copy_file(fs::path(SCANMON_DEMO_DIR) / "ar4000_demo.cal", folder_ / "ar4000_demo.cal");
    std::ofstream(folder_ / "empty.cal").close();
    // Two typing errors in the stand-in's calibration format.
    std::ofstream(folder_ / "typo.cal") << "hsif-calibration 1\nrange_offset -0,75\n"
                                           "range_scal 1.0012\n";
  }
  test_support::ScratchDir dir_;
  const fs::path& folder_ = dir_.path();
};

TEST_P(Preflight, ReportsEachProblemWithItsHint) {
  const Scenario& s = GetParam();
  if (!fs::exists(fs::path(SCANMON_STANDIN_DIR) / "libhsif.so"))
    GTEST_SKIP() << "the stand-in driver is not built";
  test_support::PtyPair pty;  // its slave is the sensor's port
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  if (s.properties != nullptr) std::ofstream(folder_ / "properties.txt") << s.properties;

  ProcessRequest request;
  request.program = s.driver_found ? PREFLIGHT_BINARY : PREFLIGHT_NO_RUNPATH_BINARY;
  for (const char* arg : s.args) request.args.push_back(arg);
  request.working_directory = folder_.string();
  request.environment["LD_LIBRARY_PATH"] = s.library_path != nullptr ? s.library_path : "";
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's dlopen interceptor hides the program's RUNPATH from the
  // loader, so the driver is named by the library path instead.
  if (s.driver_found) request.environment["LD_LIBRARY_PATH"] = SCANMON_STANDIN_DIR;
#endif
  std::string binding = std::string(s.port_binding);
  request.environment["SCANMON_COMPORTS"] = binding == "pty" ? "COM7=" + pty.slave_path() : binding;
  request.environment["XDG_CONFIG_HOME"] = folder_.string();  // no operator's bindings
  request.time_limit = std::chrono::milliseconds(20000);
  ProcessRun run = RunProcess(request);

  EXPECT_EQ(run.exit_status, s.exit_status) << run.out << run.err;
  for (std::string part : s.out) {
    if (part.find("@PTY@") != std::string::npos)
      part.replace(part.find("@PTY@"), 5, pty.slave_path());
    EXPECT_NE(run.out.find(part), std::string::npos) << "stdout lacks: " << part << "\n" << run.out;
  }
  for (const std::string& part : s.err) {
    EXPECT_NE(run.err.find(part), std::string::npos) << "stderr lacks: " << part << "\n" << run.err;
  }
}

const Scenario kScenarios[] = {
    {"ready",
     kGoodProperties,
     true,
     nullptr,
     "pty",
     {},
     0,
     {"scanmon-preflight 1.1.0.0\n", "dump of input parameters\nlaser_serial_port -> 7\n",
      "calibration_file -> ar4000_demo.cal\n", "driver: hsif bound (all 50 entry points) from ",
      "/libhsif.so\n", "driver: file version 1.1.0.0\n",
      "port: COM7 (@PTY@) opened at 9600 baud and released\n",
      "calibration file: ar4000_demo.cal can be read\n", "ready: "},
     {}},
    {"no_port_check",
     "laser_sample_period=20\nlaser_max_range=1200\nlaser_serial_port=1\n"
     "calibration_file=ar4000_demo.cal\n",
     true,
     nullptr,
     "",
     {"--no-port"},
     0,
     {"port: not checked (--no-port)\n", "ready: "},
     {}},
    {"missing_properties",
     nullptr,
     true,
     nullptr,
     "pty",
     {},
     1,
     {},
     {"param file not found ./properties.txt\n", "FAILED: no ./properties.txt in this folder\n",
      "hint: the monitor reads its settings from properties.txt"}},
    {"missing_driver",
     kGoodProperties,
     false,
     nullptr,
     "pty",
     {},
     1,
     {"dump of input parameters"},
     {"FAILED: Unable to load hsif.dll\n", "hint: libhsif.so is looked for in LD_LIBRARY_PATH",
      SCANMON_STANDIN_DIR}},
    {"driver_needing_a_missing_library",
     kGoodProperties,
     false,
     SCANMON_LOADER_CASES "/needs-gone",
     "pty",
     {},
     1,
     {},
     {"FAILED: Unable to load hsif.dll\n", "but a library it needs is missing",
      "  loader: libscanmon_gone.so: cannot open shared object file"}},
    {"incomplete_driver",
     kGoodProperties,
     false,
     SCANMON_STANDIN_INCOMPLETE_DIR,
     "pty",
     {},
     1,
     {},
     {"FAILED: Unable to load hsif.dll\n",
      "lacks entry points the monitor needs: HsifGetDpcReadTime\n"}},
    {"missing_port",
     kGoodProperties,
     true,
     nullptr,
     "COM7=/nonexistent/tty7",
     {},
     1,
     {"driver: hsif bound"},
     {"FAILED: the sensor's port COM7 (/nonexistent/tty7) does not open: error 2: The system "
      "cannot find the file specified.\n",
      "hint: COM7 stands for /nonexistent/tty7.", "SCANMON_COMPORTS", "docs/serial.md"}},
    {"port_not_set",
     "laser_sample_period=20\nlaser_max_range=1200\ncalibration_file=ar4000_demo.cal\n",
     true,
     nullptr,
     "pty",
     {},
     1,
     {},
     {"FAILED: laser_serial_port is not set to a port number in properties.txt\n",
      "hint: add a line laser_serial_port=<n>"}},
    // What a new operator typed: every problem is listed, and none is "ready".
    {"values_the_monitor_cannot_use",
     "laser_serial_port=COM4\nlaser_max_rnage=1200\nlaser_sample_period=abc\n"
     "calibration_file=empty.cal\n",
     true,
     nullptr,
     "pty",
     {},
     1,
     {"port: not checked (no port number; see above)\n", "not ready: 5 problems found"},
     {"FAILED: properties.txt line 1: laser_serial_port=COM4 is not a number; the monitor reads "
      "0\n  hint: the value must be the port's number: laser_serial_port=4 for COM4.\n",
      "FAILED: properties.txt line 2: unknown key laser_max_rnage; the monitor ignores the line\n"
      "  hint: the nearest known key is laser_max_range.\n",
      "FAILED: properties.txt line 3: laser_sample_period=abc is not a number",
      "FAILED: laser_max_range is not set in properties.txt\n",
      "FAILED: the calibration file empty.cal is empty\n"}},
    {"periods_for_one_model_only",
     "laser_serial_port=7\nlaser_sample_period=10\nlaser_max_range=0\n"
     "calibration_file=ar4000_demo.cal\n",
     true,
     nullptr,
     "pty",
     {},
     1,
     {"port: COM7", "not ready: 1 problem found"},
     {"note: laser_sample_period=10 us suits only the 200 kHz model; the 50 kHz model needs 20 "
      "us or more\n",
      "FAILED: laser_max_range=0: the card takes a maximum range of 1 inch or more\n"}},
    {"missing_calibration",
     "laser_serial_port=7\ncalibration_file=gone.cal\n",
     true,
     nullptr,
     "pty",
     {},
     1,
     {"port: COM7"},
     {"FAILED: the calibration file gone.cal cannot be read\n"}},
    {"calibration_the_standin_refuses",
     "laser_serial_port=7\nlaser_sample_period=20\nlaser_max_range=1200\n"
     "calibration_file=typo.cal\n",
     true,
     nullptr,
     "pty",
     {},
     1,
     {"not ready: 1 problem found"},
     {"FAILED: the stand-in driver refuses the calibration file typo.cal:\n"
      "  line 2: range_offset -0,75 is out of range or not a number\n"
      "  line 3: unknown key range_scal\n"
      "  range_scale missing\n"
      "  hint: the first line is \"hsif-calibration 1\""}},
    {"help", nullptr, true, nullptr, "", {"--help"}, 0, {"Usage: scanmon-preflight"}, {}},
    {"unknown_argument",
     nullptr,
     true,
     nullptr,
     "",
     {"--frobnicate"},
     2,
     {},
     {"unknown option --frobnicate"}},
};

INSTANTIATE_TEST_SUITE_P(Folders, Preflight, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
