// The real scanmon binary against the stand-in driver, run in a scratch folder
// the way an operator runs it: bring-up output, the sample loop, keys, stop
// signals, and every bring-up failure with its message, stream and status.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/in_order.h"
#include "tests/support/run_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using test_support::ProcessRequest;
using test_support::ProcessRun;
using test_support::RunProcess;

using test_support::Contains;
using test_support::CountOf;
using test_support::ReadText;

namespace {

const char* const kFailureBanner = "Initialization of high speed interface card / laser failed\n";

// Position of `part` in `text` (npos when absent), for order checks.
std::size_t At(const std::string& text, const std::string& part) {
  return text.find(part);
}

class MonitorRun : public testing::Test {
 protected:
  void SetUp() override {
    fs::copy(SCANMON_DEMO_DIR, folder_, fs::copy_options::recursive);
    log_ = folder_ / "driver.log";
  }

  // Later lines of the properties file win over the demo's.
  void AddProperties(const std::string& lines) {
    fs::path path = folder_ / "properties.txt";
    std::string text = ReadText(path);
    bool needs_newline = !text.empty() && text.back() != '\n';
    std::ofstream(path, std::ios::app) << (needs_newline ? "\n" : "") << lines;
  }

  ProcessRequest Request(const std::string& keys = "x") const {
    ProcessRequest request;
    request.program = SCANMON_BINARY;
    request.args = {"capture.out"};
    request.working_directory = folder_.string();
    request.input = keys;
    request.environment["HSIF_SIM_LOG"] = log_.string();
#ifdef SCANMON_SANITIZED
    // The sanitizer's runtime makes the dlopen call, so the program's own
    // RUNPATH is not searched in that build.
    request.environment["LD_LIBRARY_PATH"] = SCANMON_STANDIN_DIR;
#endif
    request.time_limit = std::chrono::milliseconds(40000);
    return request;
  }

  std::string DriverLog() const {
    return ReadText(log_);
  }

  test_support::ScratchDir dir_;
  const fs::path& folder_ = dir_.path();
  fs::path log_;
};

TEST_F(MonitorRun, BringsUpStreamsAnglesAndStopsOnX) {
  // Three fetches: the first has one indexed sample, the second none (after the
  // keys 'a' and 'X', which do not stop the loop), then 'x' ends it.
  std::ofstream(folder_ / "angles.txt") << "0.5 0.6:4 0.7\n3.14159265358979 1.0 nan:4 inf:4\n"
                                        << "-1.5707963267949\n";
  ProcessRequest request = Request("aXx");
  request.environment["HSIF_SIM_ANGLE_SCRIPT"] = (folder_ / "angles.txt").string();
  AddProperties(
      "laser_baud_rate=19200\nlaser_max_range=1200 ; inches\nlaser_sample_period=20\n"
      "laser_motor_number=1\n");
  ProcessRun run = RunProcess(request);

  ASSERT_FALSE(run.timed_out) << run.err;
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(fs::exists(folder_ / "capture.out"));
  EXPECT_EQ(fs::file_size(folder_ / "capture.out"), 0u);

  fs::path driver = fs::canonical(fs::path(SCANMON_STANDIN_DIR) / "libhsif.so");
  EXPECT_EQ(run.out, "Version 1.1\nbefore hsifdllinit\nUsing DLL: " + driver.string() +
                         "\n\nafter hsifdllinit\nmax range 1200 sample period 20\n");
  EXPECT_EQ(run.err,
            "Opened high speed interface.\n"
            "HISF Card Calibration\n"
            "SamplingModeInit\n"
            "max_range 1200 sample_period 20\n"
            "Waiting (5 sec.) for mirror to move\n"
            "Clear Sample Buffer\n"
            "Sampling Enable\n"
            "   286\t0\t\n>>>>    343\t1\t\n"
            "  1800\t0\t\n>>>>      0\t1\t\n>>>>      0\t1\t\n"
            "  -900\t0\t\n");

  std::string log = DriverLog();
  // The sensor line is always opened at 9600 baud, whatever the properties say.
  EXPECT_TRUE(Contains(log, "HsifOpenPort baud=9600 port=1")) << log;
  const char* order[] = {"HsifDllInit",
                         "HsifOpenPort",
                         "HsifSendStr text=I",
                         "HsifOpen card=0",
                         "HsifResetBoard",
                         "HsifLoadCalibrationData",
                         "HsifSetSamplePeriod mode=0 range=1200 period=20",
                         "HsifSetPollMode",
                         "HsifClearSampleBuffer",
                         "HsifCalibrate",
                         "HsifSamplingModeInit",
                         "HsifClearEncoder which=3 value=1",
                         "HsifCalibrateEncoder encoder=1 offset=0 counts=4096",
                         "HsifCalibrateEncoder encoder=2 offset=0 counts=200",
                         "HsifSamplingEnable",
                         "HsifSetMotorPower",
                         "HsifGetBufferedSamples",
                         "HsifClose"};
  test_support::ExpectInOrder(log, order);
  EXPECT_TRUE(Contains(log, "sensor received I")) << log;
  EXPECT_EQ(CountOf(log, "HsifSetSamplePeriod mode=0"), 2u) << log;
  EXPECT_EQ(CountOf(log, "HsifClose"), 1u) << log;
}

TEST_F(MonitorRun, SpinningMirrorShowsIndexLinesOncePerRevolution) {
  ProcessRequest request = Request("");
  request.close_input = false;
  // Let the loop run about a second, then stop it like 'x' would.
  std::size_t rounds = 0;
  request.on_output = [&rounds](const ProcessRun& run) {
    std::size_t now = CountOf(run.err, ">>>>");
    if (now >= 5 && rounds == 0) {
      rounds = now;
      return SIGINT;
    }
    return 0;
  };
  ProcessRun run = RunProcess(request);
  ASSERT_FALSE(run.timed_out) << run.err;
  // After the orderly shutdown the run ends by the signal that stopped it.
  EXPECT_EQ(run.term_signal, SIGINT) << "exit status " << run.exit_status << "\n" << run.err;
  EXPECT_FALSE(Contains(run.err, "data lost")) << run.err;
  // Every index line reports an angle within one encoder count of zero.
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(">>>>", 0) != 0) continue;
    int tenths = std::stoi(line.substr(5));
    EXPECT_TRUE(tenths <= 1 || tenths >= 3599) << line;
  }
  EXPECT_TRUE(Contains(DriverLog(), "HsifClose")) << "a stop request releases like 'x'";
}

TEST_F(MonitorRun, LostDataClearsTheBufferAndGoesOn) {
  ProcessRequest request = Request("ab");
  request.environment["HSIF_SIM_LOSE_DATA_AT"] = "2";
  request.environment["HSIF_SIM_FAIL_FETCH_AFTER"] = "4";
  ProcessRun run = RunProcess(request);
  ASSERT_FALSE(run.timed_out);
  // Other keys do not stop the loop; the fifth fetch fails and ends the run
  // with a status of its own, the line released and the card closed as after
  // 'x'.
  EXPECT_EQ(run.exit_status, 3) << run.err;
  EXPECT_EQ(CountOf(run.err, "data lost\n"), 1u) << run.err;
  EXPECT_TRUE(Contains(run.out, "ERROR: Buffer overflow flag not getting set.\n")) << run.out;
  std::string log = DriverLog();
  std::size_t lost_fetch = At(log, "HsifSamplingEnable");
  ASSERT_NE(lost_fetch, std::string::npos);
  // After the bring-up's enable, the lost-data round clears and re-enables.
  std::size_t clear = log.find("HsifClearSampleBuffer", log.find("HsifGetBufferedSamples"));
  EXPECT_NE(clear, std::string::npos) << log;
  EXPECT_NE(log.find("HsifSamplingEnable", clear), std::string::npos) << log;
  EXPECT_EQ(CountOf(log, "HsifClose card=0 -> 1"), 1u) << log;
}

TEST_F(MonitorRun, StatusLineWarnsOfAStoppedMirrorAndEndsWithASummary) {
  // The mirror stops after 20 fetches (two seconds at 20 us); the stop request
  // comes when the status line says so. Standard error is a pipe here: plain
  // lines, the first at once, then every five seconds.
  ProcessRequest request = Request("");
  request.args = {"--status", "capture.out"};
  request.close_input = false;
  request.environment["HSIF_SIM_MIRROR_SLOW_AFTER"] = "20";
  bool sent = false;  // once: a second request ends the program at once
  request.on_output = [&sent](const ProcessRun& run) {
    if (sent || !Contains(run.err, "! mirror not turning?\n")) return 0;
    sent = true;
    return SIGINT;
  };
  ProcessRun run = RunProcess(request);
  ASSERT_FALSE(run.timed_out) << run.err;
  EXPECT_EQ(run.term_signal, SIGINT) << "exit status " << run.exit_status << "\n" << run.err;
  EXPECT_FALSE(Contains(run.err, "\t")) << "no angle lines with --status:\n" << run.err;
  std::size_t first = At(run.err, "Sampling Enable\nmirror ");
  std::size_t warning = At(run.err, "\nmirror -- rev/s  ");
  std::size_t summary = At(run.err, "\nSummary: run time ");
  ASSERT_NE(first, std::string::npos) << run.err;
  ASSERT_NE(warning, std::string::npos) << run.err;
  ASSERT_NE(summary, std::string::npos) << run.err;
  EXPECT_LT(first, warning);
  EXPECT_LT(warning, summary);
  // Paced at 20 us: 50000 samples a second, ten fetches of 5000.
  EXPECT_TRUE(Contains(run.err, " samples/s  1") || Contains(run.err, " samples/s  9")) << run.err;
  // The summary: the mirror turned at 20 rev/s (its wander within 0.3 %)
  // before it stopped.
  std::string tail = run.err.substr(summary);
  EXPECT_TRUE(Contains(tail, " fetches, data lost ")) << tail;
  EXPECT_TRUE(Contains(tail, ", mirror 20.0") || Contains(tail, ", mirror 19.9")) << tail;
  // ... and that it stopped, from two seconds on.
  EXPECT_TRUE(Contains(tail, "; mirror stopped 1 time, ")) << tail;
  EXPECT_TRUE(Contains(DriverLog(), "HsifClose card=0 -> 1"));
}

TEST_F(MonitorRun, AnExistingOutputFileKeepsWhatItHeld) {
  std::ofstream(folder_ / "capture.out") << "an earlier capture\n";
  fs::remove(folder_ / "properties.txt");  // the monitor stops at once
  ProcessRun run = RunProcess(Request());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(ReadText(folder_ / "capture.out"), "an earlier capture\n");
}

struct BringUpFailure {
  const char* fail_step;
  const char* message;
  bool on_stdout;
};

TEST_F(MonitorRun, EachBringUpFailureHasItsMessageAndStatusOne) {
  const BringUpFailure failures[] = {
      {"openport", "Error: Serial Comm port open failed.\n", false},
      {"open", "Error: HsifOpen failed.\n", false},
      {"reset", "Error: HsifResetBoard failed.\n", false},
      {"calibration-data", "ERROR: Could not read calibration file\n", true},
      {"sample-period", "HsifSetSamplePeriod failed.\n", false},
      {"card-model", "HsifSetSamplePeriod failed.\nUnknown Hsif card model.\n", false},
      {"min-period", "HsifSetSamplePeriod failed.\nUnknown minimum sample period.\n", false},
      {"calibrate", "Error: Could not get calibration value **\n", false},
      {"sampling-mode", "Error: Could not initialize sampling mode\n", false},
      {"clear-encoder", "Error: Failed to clear encoder1\n", false},
      {"encoder1", "Error: Failed to set encoder1\n", false},
      {"encoder2", "Error: Failed to set encoder2\n", false},
      {"sample-period-again", "Error: Failed to set sample and range\n", false},
  };
  // COM1 stands for a device that is not there, whatever this machine has.
  const std::string no_device = (folder_ / "no-such-tty").string();
  for (const BringUpFailure& failure : failures) {
    SCOPED_TRACE(failure.fail_step);
    ProcessRequest request = Request();
    request.environment["HSIF_SIM_FAIL"] = failure.fail_step;
    request.environment["SCANMON_COMPORTS"] = "COM1=" + no_device;
    ProcessRun run = RunProcess(request);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 1);
    const std::string& stream = failure.on_stdout ? run.out : run.err;
    EXPECT_TRUE(Contains(stream, failure.message)) << "stdout:\n"
                                                   << run.out << "stderr:\n"
                                                   << run.err;
    EXPECT_TRUE(run.err.size() >= std::strlen(kFailureBanner) &&
                run.err.compare(run.err.size() - std::strlen(kFailureBanner), std::string::npos,
                                kFailureBanner) == 0)
        << run.err;
    // The fixed texts are followed by what failed and why.
    if (std::string(failure.fail_step) == "openport") {
      EXPECT_TRUE(Contains(run.err, std::string(failure.message) + "  port: COM1 (" + no_device +
                                        ") at 9600 baud (laser_serial_port)\n"
                                        "  driver: told to fail (HSIF_SIM_FAIL=openport)\n"
                                        "  system: COM1 (" +
                                        no_device +
                                        ") does not open: The system cannot find the file "
                                        "specified. (error 2)\n  hint: COM1 stands for " +
                                        no_device))
          << run.err;
    }
    if (std::string(failure.fail_step) == "calibration-data") {
      // The specified line stays alone on stdout; its detail goes to stderr.
      EXPECT_FALSE(Contains(run.out, "  calibration file")) << run.out;
      EXPECT_TRUE(Contains(run.err,
                           "  calibration file ar4000_demo.cal: told to fail "
                           "(HSIF_SIM_FAIL=calibration-data)\n"))
          << run.err;
    }
    // Nothing is released or closed on the way out of a failed bring-up.
    EXPECT_FALSE(Contains(DriverLog(), "HsifClose card")) << DriverLog();
    EXPECT_FALSE(Contains(run.err, "Waiting (5 sec.)"));
  }
}

TEST_F(MonitorRun, ACalibrationFileTheDriverRefusesIsNamedWithTheDriversReason) {
  std::string calibration = ReadText(folder_ / "ar4000_demo.cal");
  calibration.replace(calibration.find("range_scale"), 11, "range_scal");
  std::ofstream(folder_ / "ar4000_demo.cal", std::ios::binary) << calibration;
  ProcessRun run = RunProcess(Request());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(Contains(run.out, "ERROR: Could not read calibration file\n")) << run.out;
  EXPECT_FALSE(Contains(run.out, "  calibration file")) << run.out;
  EXPECT_TRUE(
      Contains(run.err, "  calibration file ar4000_demo.cal: line 7: unknown key range_scal\n"))
      << run.err;
}

TEST_F(MonitorRun, RefusedSamplePeriodNamesTheModelsMinimum) {
  const struct {
    const char* model;
    const char* period;
    const char* message;
  } cases[] = {
      {"50", "10", "The AR4000 50 KHz model minimum sample period is 20 us.\n"},
      {"200", "2", "The AR4000 200 KHz model minimum sample period is 5 us.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    AddProperties(std::string("laser_sample_period=") + c.period + "\n");
    ProcessRequest request = Request();
    request.environment["HSIF_SIM_MODEL"] = c.model;
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_TRUE(Contains(run.err, std::string("HsifSetSamplePeriod failed.\n") + c.message))
        << run.err;
  }
}

TEST_F(MonitorRun, DriverLackingOneEntryPointIsRefused) {
  ProcessRequest request = Request();
  // The loader searches LD_LIBRARY_PATH before the program's own RUNPATH.
  request.environment["LD_LIBRARY_PATH"] = SCANMON_STANDIN_INCOMPLETE_DIR;
  ProcessRun run = RunProcess(request);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "Version 1.1\nbefore hsifdllinit\n");
  EXPECT_EQ(run.err, std::string("Unable to load hsif.dll\n") + kFailureBanner);
  EXPECT_FALSE(fs::exists(log_)) << "no entry point may be called";
}

TEST_F(MonitorRun, MissingDriverIsRefused) {
  ProcessRequest request = Request();
  request.program = SCANMON_NO_RUNPATH_BINARY;
  request.environment["LD_LIBRARY_PATH"] = folder_.string();
  ProcessRun run = RunProcess(request);
  EXPECT_EQ(run.exit_status, 1);
  // The loader's own text follows: the file it missed, and where it looked.
  EXPECT_TRUE(
      run.err.starts_with("Unable to load hsif.dll\n"
                          "libhsif.so: cannot open shared object file: No such file or "
                          "directory; looked in " +
                          folder_.string() + ", "))
      << run.err;
  EXPECT_TRUE(Contains(run.err, " and the ld.so.cache\n" + std::string(kFailureBanner))) << run.err;

  // A file of that name that is no library: the loader names it.
  std::ofstream(folder_ / "libhsif.so") << "not a library";
  run = RunProcess(request);
  EXPECT_EQ(run.exit_status, 1);
  std::string named = "Unable to load hsif.dll\n" + (folder_ / "libhsif.so").string() + ": ";
  EXPECT_EQ(run.err.rfind(named, 0), 0u) << run.err;
  EXPECT_TRUE(Contains(run.err, kFailureBanner)) << run.err;
}

TEST_F(MonitorRun, MissingPropertiesFileAndMissingArgument) {
  fs::remove(folder_ / "properties.txt");
  ProcessRun run = RunProcess(Request());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(Contains(run.err, "param file not found ./properties.txt\n")) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::exists(folder_ / "capture.out")) << "the output file is created first";

  ProcessRequest request = Request();
  request.args.clear();
  run = RunProcess(request);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err,
            "scanmon: no output file named (it is created when missing and never written)\n"
            "Usage: scanmon [--status] OUTPUT_FILE\n"
            "  or:  scanmon --help | --version\n"
            "Try 'scanmon --help' for more information.\n");
  EXPECT_EQ(run.out, "");
}

TEST_F(MonitorRun, HelpExplainsTheLinesAndTheEmptyOutputFile) {
  ProcessRequest request = Request();
  request.args = {"--help"};
  ProcessRun run = RunProcess(request);
  EXPECT_EQ(run.exit_status, 0);
  for (const char* part : {"What you see: ", "in tenths\nof a degree", "index flag",
                           "\">>>>  <angle>  1\"", "OUTPUT_FILE stays empty"}) {
    EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
  }
}

TEST_F(MonitorRun, StopSignalsDuringBringUpAndTwiceInTheLoop) {
  // During the mirror's spin-up a stop ends the program at once.
  ProcessRequest request = Request("");
  request.close_input = false;
  request.on_output = [](const ProcessRun& run) {
    return Contains(run.err, "Waiting (5 sec.)") ? SIGTERM : 0;
  };
  ProcessRun run = RunProcess(request);
  EXPECT_EQ(run.term_signal, SIGTERM) << "exit status " << run.exit_status << "\n" << run.err;
  EXPECT_FALSE(Contains(run.err, "Sampling Enable"));

  // In the loop, a second request does not wait for the orderly stop.
  fs::remove(log_);
  int sent = 0;
  request.on_output = [&sent](const ProcessRun& run) {
    if (sent < 2 && Contains(run.err, "Sampling Enable")) {
      ++sent;
      return SIGTERM;
    }
    return 0;
  };
  run = RunProcess(request);
  // Whether the second request came before the shutdown ended or after, the
  // run ends by SIGTERM (the unit tests tell the two paths apart).
  EXPECT_EQ(run.term_signal, SIGTERM) << "exit status " << run.exit_status << "\n" << run.err;
}

}  // namespace
