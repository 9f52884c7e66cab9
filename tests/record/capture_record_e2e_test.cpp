// capture-record and capture-info as programs, against the stand-in driver, in
// a scratch folder: a whole recording checked sample by sample, every way it
// can end early (operator, card, disk, memory), the refusals before the card
// is touched, and capture-info on whole, cut and inconsistent files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fields/field_map.h"
#include "tests/support/in_order.h"
#include "tests/support/run_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using test_support::ProcessRequest;
using test_support::ProcessRun;
using test_support::RunProcess;

using test_support::Contains;
using test_support::ReadText;

namespace {

constexpr std::size_t kHeaderBytes = 293;
constexpr int kExitComplete = 0, kExitSetup = 1, kExitStopped = 3, kExitWrite = 4,
              kExitLostData = 5, kExitFetch = 6;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The settings of a capture configuration that the tests vary.
// 50 kHz: light enough for a sanitizer build on a busy machine to keep up.
struct Config {
  unsigned period_us = 20;
  unsigned buffer = 1000;
  unsigned long samples = 20000;
  unsigned delay_ms = 0;
  std::string base = "scan01";
};

class RecordRun : public testing::Test {
 protected:
  void SetUp() override { fs::copy(fs::path(SCANMON_DEMO_DIR) / "ar4000_demo.cal", folder_); }

  void WriteConfig(const Config& c) const {
    std::ofstream(folder_ / "scan.cfg") << "3\n1\n0\n"
                                        << c.period_us << "\n1200\n"
                                        << c.buffer << "\n"
                                        << c.samples << "\n200\n100\n4096\n200\nar4000_demo.cal\n"
                                        << c.base << "\n"
                                        << c.delay_ms << "\n0\n1\n";
  }

  ProcessRequest Record(const Config& c, std::vector<std::string> options = {}) const {
    WriteConfig(c);
    ProcessRequest request;
    request.program = CAPTURE_RECORD_EXE;
    request.args = std::move(options);
    request.args.push_back("scan.cfg");
    request.working_directory = folder_.string();
    request.environment["HSIF_SIM_LOG"] = log_.string();
    // A mirror at exactly its set rate, so the mirror figures are exact.
    request.environment["HSIF_SIM_MIRROR_WANDER"] = "0";
    // A failed port open is explained by opening the port: never a real one.
    request.environment["SCANMON_COMPORTS"] = "COM1=" + (folder_ / "no-such-tty").string();
#ifdef SCANMON_SANITIZED
    request.environment["LD_LIBRARY_PATH"] = SCANMON_STANDIN_DIR;
#endif
    request.time_limit = std::chrono::milliseconds(60000);
    return request;
  }

  ProcessRun Info(const std::vector<std::string>& files) const {
    ProcessRequest request;
    request.program = CAPTURE_INFO_EXE;
    request.args = files;
    request.working_directory = folder_.string();
    return RunProcess(request);
  }

  std::string DriverLog() const {
    return ReadText(log_);
  }

  test_support::ScratchDir scratch_;
  const fs::path folder_ = scratch_.path();
  const fs::path log_ = folder_ / "driver.log";
};

// The samples of a .prc file by their stand-in sample numbers; checks that
// the .raw file holds the same samples (word 3 is the number) and that both
// headers count what the files hold.
std::vector<std::uint32_t> SampleNumbers(const fs::path& prc, const fs::path& raw) {
  std::string p = ReadText(prc);
  EXPECT_GE(p.size(), kHeaderBytes) << prc;
  if (p.size() < kHeaderBytes) return {};
  EXPECT_EQ((p.size() - kHeaderBytes) % 64, 0u) << prc;
  std::size_t count = (p.size() - kHeaderBytes) / 64;
  EXPECT_EQ(Le32(p, 16), count) << "header count of " << prc;
  std::vector<std::uint32_t> numbers(count);
  for (std::size_t i = 0; i < count; ++i) numbers[i] = Le32(p, kHeaderBytes + i * 64 + 4);
  if (!raw.empty()) {
    std::string r = ReadText(raw);
    EXPECT_EQ(r.compare(0, kHeaderBytes, p, 0, kHeaderBytes), 0) << "same header";
    EXPECT_EQ(r.size(), kHeaderBytes + count * 16) << raw;
    for (std::size_t i = 0; i < count && kHeaderBytes + i * 16 + 16 <= r.size(); ++i) {
      if (Le32(r, kHeaderBytes + i * 16 + 12) != numbers[i]) {
        ADD_FAILURE() << "raw record " << i << " is not the processed one";
        break;
      }
    }
  }
  return numbers;
}

// Gaps in a run of sample numbers.
std::size_t Gaps(const std::vector<std::uint32_t>& numbers) {
  std::size_t gaps = 0;
  for (std::size_t i = 1; i < numbers.size(); ++i) gaps += numbers[i] != numbers[i - 1] + 1;
  return gaps;
}

// Runs `request` under /bin/sh with `script` before it ("$0" "$@" is the
// recorder; its stderr goes to err.txt in the working folder).
ProcessRequest UnderShell(ProcessRequest request, const std::string& script) {
  request.args.insert(request.args.begin(), {"-c", script, request.program});
  request.program = "/bin/sh";
  return request;
}

// The shell waits for the recording to start (at most 20 s).
const std::string kStartAndWait =
    "\"$0\" \"$@\" 2>err.txt & p=$!; n=0; "
    "until grep -q Recording err.txt || [ $n -ge 400 ]; do sleep 0.05; n=$((n+1)); done; ";

struct FileState {
  std::uint64_t records = 0;
  std::uint64_t partial = 0;
  std::uint32_t count = 0;
};

FileState StateOf(const fs::path& path, std::size_t record_bytes) {
  std::string bytes = ReadText(path);
  FileState state;
  if (bytes.size() < kHeaderBytes) return state;
  state.records = (bytes.size() - kHeaderBytes) / record_bytes;
  state.partial = (bytes.size() - kHeaderBytes) % record_bytes;
  state.count = Le32(bytes, 16);
  return state;
}

TEST_F(RecordRun, RecordsEverySampleOnceIntoBothFilesAndReleasesTheCard) {
  Config c;
  c.samples = 60500;  // the last fetch is trimmed
  c.buffer = 2000;
  c.delay_ms = 100;
  ProcessRun run = RunProcess(Record(c, {"--calibration-value", "-42"}));
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, kExitComplete) << run.out << run.err;

  std::vector<std::uint32_t> numbers =
      SampleNumbers(folder_ / "scan01.prc", folder_ / "scan01.raw");
  EXPECT_EQ(numbers.size(), 60500u);
  EXPECT_EQ(Gaps(numbers), 0u);
  std::string header = ReadText(folder_ / "scan01.prc").substr(0, kHeaderBytes);
  EXPECT_EQ(Le32(header, 0), 3u);
  EXPECT_EQ(Le32(header, 12), 2000u);
  EXPECT_EQ(static_cast<std::int32_t>(Le32(header, 28)), -42);
  EXPECT_EQ(header[292], 1) << "the stand-in is a 200 kHz model";
  EXPECT_TRUE(Contains(run.out, "Samples recorded: 60500 of 60500")) << run.out;
  EXPECT_TRUE(Contains(run.out, "Mirror: 20.000 rev/s mean")) << run.out;
  EXPECT_TRUE(Contains(run.out, "File: scan01.raw, 968293 bytes")) << run.out;
  EXPECT_FALSE(Contains(run.out, "rewritten")) << run.out;

  std::string log = DriverLog();
  const char* order[] = {"HsifOpenPort baud=9600 port=1",
                         "HsifCalibrateEncoder encoder=2 offset=0 counts=200",
                         "HsifSetMotorPower motor=1 power=200",
                         "HsifSetMotorPower motor=2 power=100",
                         "HsifGetBufferedSamples capacity=2000 wait=1",
                         "HsifSetMotorPower motor=1 power=0",
                         "HsifSetMotorPower motor=2 power=0",
                         "HsifClose card=0"};
  test_support::ExpectInOrder(log, order);

  ProcessRun info = Info({"scan01.prc", "scan01.raw"});
  EXPECT_EQ(info.exit_status, 0) << info.out << info.err;
  EXPECT_TRUE(Contains(info.out, "Records present: 60500; header count 60500: match")) << info.out;
  EXPECT_TRUE(Contains(info.out, "Duration: 1.210000 s")) << info.out;
  EXPECT_TRUE(Contains(info.out, "Lost-data flags: 0")) << info.out;
}

// A sample count typed with digit group separators.
const char kTypoConfig[] =
    "3\n1\n0\n20\n1200\n1000\n20,000 ; "
    "samples\n200\n100\n4096\n200\nar4000_demo.cal\nscan01\n0\n0\n"
    "1\n";

TEST_F(RecordRun, RefusesBeforeTouchingTheCard) {
  Config c;
  const struct {
    const char* name;
    std::string config_text;  // empty: the good configuration
    bool existing_file;
    std::vector<std::string> options;
    int status;
    const char* message;
  } cases[] = {
      {"bad line",
       "3\n1\n0\n2\n",
       false,
       {},
       kExitSetup,
       "ERROR: Configuration file parse failed."},
      {"existing file", "", true, {}, kExitSetup, "scan01.prc exists; --force replaces it"},
      {"number with text",
       kTypoConfig,
       false,
       {},
       kExitSetup,
       "capture-record: warning: scan.cfg line 7 (Number of samples to capture): \"20,000 ; "
       "samples\" is read as 20; likely meant 20000 (digit group separators are not read)\n"
       "capture-record: scan.cfg: 1 line is read otherwise than typed (see above); nothing "
       "recorded.\n"},
      {"bad ring size",
       "",
       false,
       {"--ring-mb", "0"},
       2,
       "--ring-mb must be a whole number from 1 to 4096, not '0'"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove(log_);
    fs::remove(folder_ / "scan01.prc");
    if (k.existing_file) std::ofstream(folder_ / "scan01.prc") << "keep me";
    ProcessRequest request = Record(c, k.options);
    if (!k.config_text.empty()) std::ofstream(folder_ / "scan.cfg") << k.config_text;
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, k.status) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, k.message)) << run.out << run.err;
    EXPECT_FALSE(fs::exists(log_)) << "the driver was loaded";
    EXPECT_EQ(ReadText(folder_ / "scan01.prc"), k.existing_file ? "keep me" : "");
    EXPECT_FALSE(fs::exists(folder_ / "scan01.raw"));
  }
  // --force replaces the file.
  ProcessRun run = RunProcess(Record(c, {"--force"}));
  EXPECT_EQ(run.exit_status, kExitComplete) << run.err;
  EXPECT_EQ(fs::file_size(folder_ / "scan01.prc"), kHeaderBytes + 20000 * 64);

  // A capture without a .raw file: an old scan01.raw beside the new .prc would
  // describe another capture, so it is refused, and --force removes it.
  fs::remove(folder_ / "scan01.prc");
  fs::remove(folder_ / "scan01.idx");
  std::ofstream(folder_ / "scan01.raw") << "an older capture";
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "--force" : "no --force");
    ProcessRequest request =
        Record(c, force ? std::vector<std::string>{"--force"} : std::vector<std::string>{});
    std::string text = ReadText(folder_ / "scan.cfg");
    std::ofstream(folder_ / "scan.cfg") << text.substr(0, text.size() - 2) << "0\n";  // write-raw 0
    ProcessRun without = RunProcess(request);
    EXPECT_EQ(without.exit_status, force ? kExitComplete : kExitSetup) << without.err;
    EXPECT_EQ(fs::exists(folder_ / "scan01.raw"), !force);
    if (!force) {
      EXPECT_TRUE(Contains(without.err, "scan01.raw exists; --force replaces it")) << without.err;
    }
  }

  // Told the file is meant so, it records what the reader read: 20 samples.
  ProcessRequest request = Record(c, {"--force", "--accept-warnings"});
  std::ofstream(folder_ / "scan.cfg") << kTypoConfig;
  run = RunProcess(request);
  EXPECT_EQ(run.exit_status, kExitComplete) << run.err;
  EXPECT_TRUE(Contains(run.out, "Number of samples = 20\n")) << run.out;
  EXPECT_EQ(fs::file_size(folder_ / "scan01.prc"), kHeaderBytes + 20 * 64);
}

TEST_F(RecordRun, EachBringUpFailureEndsWithStatusOneAndReleasesWhatWasOpened) {
  const struct {
    const char* step;
    const char* message;
    bool card_opened;
  } failures[] = {
      {"openport", "Error: Serial Comm port open failed.", false},
      {"open", "Error: HsifOpen failed.", false},
      {"reset", "Error: HsifResetBoard failed.", true},
      {"calibration-data", "ERROR: Could not read calibration file", true},
      {"sample-period", "HsifSetSamplePeriod failed.", true},
      {"calibrate", "Error: Could not get calibration value **", true},
      {"sampling-mode", "Error: Could not initialize sampling mode", true},
      {"clear-encoder", "Error: Failed to clear encoder1", true},
      {"encoder1", "Error: Failed to set encoder1", true},
      {"encoder2", "Error: Failed to set encoder2", true},
      {"sample-period-again", "Error: Failed to set sample and range", true},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.step);
    fs::remove(log_);
    ProcessRequest request = Record(Config{});
    request.environment["HSIF_SIM_FAIL"] = f.step;
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, kExitSetup) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, f.message)) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err,
                         "capture-record: bring-up failed (COM1, card 0, calibration "
                         "file ar4000_demo.cal"))
        << run.err;
    std::string log = DriverLog();
    EXPECT_EQ(Contains(log, "HsifClose card=0 -> 1"), f.card_opened) << log;
    EXPECT_FALSE(Contains(log, "HsifSetMotorPower")) << log;
    EXPECT_FALSE(fs::exists(folder_ / "scan01.prc"));
  }
}

// How a capture that does not run to its end leaves its files: whole records,
// both headers counting them, the card released and the motors stopped.
void ExpectEndedCleanly(const fs::path& folder, const std::string& log, const ProcessRun& run,
                        bool raw = true) {
  std::vector<std::uint32_t> numbers =
      SampleNumbers(folder / "scan01.prc", raw ? folder / "scan01.raw" : fs::path());
  if (numbers.size() != 1000000) {
    EXPECT_TRUE(Contains(run.out, "Header sample count rewritten to " +
                                      std::to_string(numbers.size()) + " (configured"))
        << run.out;
  }
  EXPECT_TRUE(Contains(log, "HsifSetMotorPower motor=1 power=0")) << log;
  EXPECT_TRUE(Contains(log, "HsifSetMotorPower motor=2 power=0")) << log;
  EXPECT_TRUE(Contains(log, "HsifClose card=0 -> 1")) << log;
}

TEST_F(RecordRun, StopsCleanlyOnKeysSignalsAndAFailingCard) {
  Config c;
  c.samples = 1000000;  // 20 s: every case stops well before
  const struct {
    const char* name;
    unsigned delay_ms;
    const char* keys;
    const char* signal_after;  // send SIGINT/SIGTERM once stderr shows this
    int signal;
    const char* fail_fetch_after;
    int status;
    bool records;  // samples were recorded before the stop
  } cases[] = {
      {"Ctrl-C while the motors settle", 5000, "", "Waiting 5000 ms", SIGINT, "", kExitStopped,
       false},
      {"Ctrl-C while recording", 0, "", "/1000000 samples (", SIGINT, "", kExitStopped, true},
      {"SIGTERM while recording", 0, "", "/1000000 samples (", SIGTERM, "", kExitStopped, true},
      {"x from the keyboard", 0, "ax", "", 0, "", kExitStopped, false},
      {"the card stops delivering", 0, "", "", 0, "7", kExitFetch, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove(log_);
    c.delay_ms = k.delay_ms;
    ProcessRequest request = Record(c, {"--force"});
    request.input = k.keys;
    request.close_input = false;
    if (k.fail_fetch_after[0] != '\0') {
      request.environment["HSIF_SIM_FAIL_FETCH_AFTER"] = k.fail_fetch_after;
    }
    bool sent = false;
    if (k.signal != 0) {
      request.on_output = [&](const ProcessRun& so_far) {
        if (sent || !Contains(so_far.err, k.signal_after)) return 0;
        sent = true;
        return k.signal;
      };
    }
    ProcessRun run = RunProcess(request);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, k.status) << run.out << run.err;
    ExpectEndedCleanly(folder_, DriverLog(), run);
    std::uintmax_t bytes = fs::file_size(folder_ / "scan01.prc");
    if (k.records) {
      EXPECT_GT(bytes, kHeaderBytes);
    }
    if (k.fail_fetch_after[0] != '\0') {
      EXPECT_EQ(bytes, kHeaderBytes + 7000 * 64);
    }
    if (k.delay_ms > 0) {
      EXPECT_EQ(bytes, kHeaderBytes) << "stopped before recording";
    }
    EXPECT_EQ(Info({"scan01.prc", "scan01.raw"}).exit_status, 0);
  }
}

TEST_F(RecordRun, LostDataIsCountedAndReportedWhereItHappened) {
  // The card reports lost data on fetch 3, and the ring (1 MB, a 300 ms disk
  // stall per round) cannot keep what the card delivers meanwhile; 48 MB can.
  const struct {
    const char* name;
    const char* lose_at;
    const char* stall_ms;
    const char* ring_mb;
    unsigned long samples;
    int status;
    const char* message;
  } cases[] = {
      {"card", "3", "0", "48", 20000, kExitLostData, "data lost at sample 2000"},
      {"ring full", "", "300", "1", 60000, kExitLostData, "samples not kept at sample"},
      {"ring holds", "", "300", "48", 100000, kExitComplete, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove(log_);
    Config c;
    c.samples = k.samples;
    ProcessRequest request = Record(c, {"--force", "--ring-mb", k.ring_mb});
    request.environment["HSIF_SIM_LOSE_DATA_AT"] = k.lose_at;
    request.environment["SCANMON_RECORD_STALL_MS"] = k.stall_ms;
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, k.status) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, k.message)) << run.err;
    std::vector<std::uint32_t> numbers =
        SampleNumbers(folder_ / "scan01.prc", folder_ / "scan01.raw");
    EXPECT_EQ(numbers.size(), k.samples) << "lost samples are not counted as recorded";
    EXPECT_EQ(Gaps(numbers) > 0, k.status == kExitLostData);
    if (k.lose_at[0] != '\0') {
      EXPECT_TRUE(Contains(run.out, "Lost-data events: 1")) << run.out;
      std::string log = DriverLog();
      std::size_t lost = log.find("lost=1 fetch=3");
      ASSERT_NE(lost, std::string::npos) << log;
      EXPECT_NE(log.find("HsifClearSampleBuffer card=0", lost), std::string::npos) << log;
    }
  }
}

TEST_F(RecordRun, NoStopRequestSkipsTheMotorsAndAKillLeavesFilesInfoTellsAndRepairMends) {
  const struct {
    const char* name;
    unsigned period_us, buffer;
    const char* then;  // the shell's part once the recording runs
    bool killed;
  } cases[] = {
      // A fetch may wait a second: the second request comes while the loop
      // waits for the first.
      {"second Ctrl-C 0.1 s after the first", 1000, 30000,
       "kill -INT $p; sleep 0.1; kill -INT $p; wait $p", false},
      // 1000 samples a second: the records must reach the file within about
      // a second of a fetch, long before a whole write block (16 s) is there.
      {"SIGKILL once records are on disk, slow rate", 1000, 30000,
       "n=0; while [ $(wc -c < scan01.prc) -le 293 ] && [ $n -lt 200 ]; do sleep 0.05; "
       "n=$((n+1)); done; kill -KILL $p; wait $p",
       true},
      {"SIGKILL mid-run, 50 kHz", 20, 1000, "sleep 1.3; kill -KILL $p; wait $p", true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove(log_);
    Config c;
    c.period_us = k.period_us;
    c.buffer = k.buffer;
    c.samples = 1000000;
    ProcessRun run = RunProcess(UnderShell(Record(c, {"--force"}), kStartAndWait + k.then));
    ASSERT_FALSE(run.timed_out);
    const fs::path prc = folder_ / "scan01.prc", raw = folder_ / "scan01.raw";
    if (!k.killed) {
      EXPECT_EQ(run.exit_status, kExitStopped) << run.out << ReadText(folder_ / "err.txt");
      ExpectEndedCleanly(folder_, DriverLog(), run);
      EXPECT_EQ(Info({"scan01.prc", "scan01.raw"}).exit_status, 0);
      continue;
    }
    EXPECT_EQ(run.exit_status, 128 + SIGKILL);
    // The header never claims records the file lacks, and capture-info tells
    // what is there: consistent exactly when the count matches whole records.
    for (const auto& [path, size] : {std::pair{prc, 64}, std::pair{raw, 16}}) {
      SCOPED_TRACE(path.filename().string());
      FileState state = StateOf(path, size);
      EXPECT_GT(state.records, 0u) << "nothing reached the file";
      EXPECT_LE(state.count, state.records);
      ProcessRun info = Info({path.filename().string()});
      EXPECT_TRUE(Contains(info.out, "Records present: " + std::to_string(state.records) +
                                         "; header count " + std::to_string(state.count)))
          << info.out;
      if (info.exit_status == 0) {
        EXPECT_EQ(state.count, state.records);
        EXPECT_EQ(state.partial, 0u);
      }
    }
    // Once a count claims records, the index names its capture: the FNV-1a
    // hash of the first (up to 256) processed records.
    const std::string idx = ReadText(folder_ / "scan01.idx"), records = ReadText(prc);
    ASSERT_GE(idx.size(), 32u);
    std::uint64_t covered = 0, stored = 0, hash = 0xCBF29CE484222325ull;
    for (int i = 3; i >= 0; --i) covered = covered << 8 | static_cast<unsigned char>(idx[20 + i]);
    for (int i = 7; i >= 0; --i) stored = stored << 8 | static_cast<unsigned char>(idx[24 + i]);
    // (Written before each sync's count, so at least what the count claims.)
    EXPECT_GE(covered, std::min<std::uint64_t>(256, StateOf(prc, 64).count));
    EXPECT_LE(covered, std::min<std::uint64_t>(256, StateOf(prc, 64).records));
    ASSERT_LE(293 + covered * 64, records.size());
    for (std::size_t i = 0; i < covered * 64; ++i) {
      hash = (hash ^ static_cast<unsigned char>(records[293 + i])) * 0x100000001B3ull;
    }
    EXPECT_EQ(stored, covered > 0 ? hash : 0u);
    ProcessRun repair = RunProcess([&] {
      ProcessRequest request;
      request.program = CAPTURE_INFO_EXE;
      request.args = {"--repair", "scan01.prc", "scan01.raw"};
      request.working_directory = folder_.string();
      return request;
    }());
    EXPECT_EQ(repair.exit_status, 0) << repair.out << repair.err;
    ProcessRun after = Info({"scan01.prc", "scan01.raw"});
    EXPECT_EQ(after.exit_status, 0) << after.out << after.err;
    EXPECT_EQ(StateOf(prc, 64).count, StateOf(prc, 64).records);
  }
}

TEST_F(RecordRun, ASilentCardOrAWriterThatCannotStartEndsCleanly) {
  Config c;
  c.samples = 200000;
  {
    SCOPED_TRACE("the mirror stops (the summary says when)");
    ProcessRequest request = Record(c, {"--force"});
    request.environment["HSIF_SIM_MIRROR_SLOW_AFTER"] = "100";  // 2 s
    request.environment["HSIF_SIM_MIRROR_SLOW_HZ"] = "0";
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, kExitComplete) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out,
                         "Mirror events: mirror stopped 1 time, 2.0 s in all (longest "
                         "2.0 s, from 2.0 s)"))
        << run.out;
  }
  {
    SCOPED_TRACE("fetches succeed without samples");
    std::ofstream(folder_ / "script.txt") << "0.1 0.2 0.3\n0.4:4 0.5\n";
    ProcessRequest request = Record(c, {"--force"});
    request.environment["HSIF_SIM_ANGLE_SCRIPT"] = (folder_ / "script.txt").string();
    ProcessRun run = RunProcess(request);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, kExitFetch) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "capture-record: card 0 answered without samples for"))
        << run.err;
    ExpectEndedCleanly(folder_, DriverLog(), run, false);
    EXPECT_EQ(Info({"scan01.prc"}).exit_status, 0);
  }
  {
    SCOPED_TRACE("the writer thread does not start");
    fs::remove(log_);
    fs::remove(folder_ / "scan01.prc");
    fs::remove(folder_ / "scan01.raw");
    fs::remove(folder_ / "scan01.idx");
    ProcessRequest request = Record(c);
    request.environment["SCANMON_RECORD_FAIL_THREAD"] = "1";
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, kExitSetup) << run.out << run.err;
    EXPECT_TRUE(
        Contains(run.err, "capture-record: starting the writer thread for scan01.prc failed"))
        << run.err;
    const std::string log = DriverLog();
    EXPECT_TRUE(Contains(log, "HsifClose card=0 -> 1")) << log;
    EXPECT_FALSE(Contains(log, "HsifSetMotorPower")) << log;
    for (const char* name : {"scan01.prc", "scan01.raw", "scan01.idx"}) {
      EXPECT_FALSE(fs::exists(folder_ / name)) << name;
    }
  }
}

TEST_F(RecordRun, GapsAreRecordedAndNoRevolutionIsMeasuredAcrossOne) {
  Config c;
  c.samples = 150000;  // 3 s at 50 kHz
  const struct {
    const char* name;
    const char* card_buffer;
    const char* lose_at;
    const char* then;  // empty: no shell
  } cases[] = {
      // The card's buffer (0.1 s) overflows while the recorder is stopped.
      {"recorder stopped 0.5 s", "5000", "",
       "sleep 0.5; kill -STOP $p; sleep 0.5; kill -CONT $p; wait $p"},
      // A short fetch: the flagged last slot is not among the records kept.
      {"lost on a short fetch", "1000", "3", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    ProcessRequest request = Record(c, {"--force"});
    request.environment["HSIF_SIM_BUFFER"] = k.card_buffer;
    request.environment["HSIF_SIM_LOSE_DATA_AT"] = k.lose_at;
    if (k.then[0] != '\0') request = UnderShell(request, kStartAndWait + k.then);
    ProcessRun run = RunProcess(request);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, kExitLostData) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "Mirror: 20.000 rev/s mean (20.000 min, 20.000 max)")) << run.out;
    ProcessRun info = Info({"scan01.prc"});
    EXPECT_EQ(info.exit_status, 0) << info.out;
    EXPECT_TRUE(Contains(info.out, "Mirror: 20.000 rev/s mean, 20.000 min, 20.000 max"))
        << info.out;
    EXPECT_TRUE(Contains(info.out, " after lost data on the card, 0 where samples were not kept"))
        << info.out;
    EXPECT_FALSE(Contains(info.out, "Gaps: 0 ")) << info.out;
  }
}

// A tmpfs of `kilobytes` mounted on `folder` for the test's life (the tests
// run as root on CI); `refused` holds why when it cannot be.
class TinyDisk {
 public:
  TinyDisk(const fs::path& folder, int kilobytes) : folder_(folder) {
    fs::create_directories(folder);
    std::string options = "size=" + std::to_string(kilobytes) + "k";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      refused_ = std::strerror(errno);
    }
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& refused() const { return refused_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
  std::string refused_;
};

TEST_F(RecordRun, AFullDiskOrAFileLimitStopsWithWholeRecordsAndTheSystemsReason) {
  // The disk: 4 MB of tmpfs for files that want 16 MB. The limit: a file-size
  // limit (ulimit -f) of 3 MB (or 6: blocks of 512 bytes or of 1 kB, as the
  // shell counts them) on an ordinary folder, with SIGXFSZ at its default
  // (ending the process): the recorder must take it and see the write fail.
  TinyDisk disk(folder_ / "disk", 4096);
  const struct {
    const char* name;
    const char* base;
    bool needs_disk;
    const char* reason;
  } cases[] = {
      {"full disk", "disk/scan01", true, "There is not enough space on the disk. (error 112)"},
      {"file limit", "scan01", false, "The file size exceeds the limit allowed"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    if (k.needs_disk && !disk.mounted()) {
      std::printf("[  SKIPPED ] full disk: mounting a tmpfs was refused (%s)\n",
                  disk.refused().c_str());
      continue;
    }
    Config c;
    c.samples = 200000;
    c.base = k.base;
    ProcessRequest request = Record(c, {"--force"});
    if (!k.needs_disk) {
      request.args.insert(
          request.args.begin(),
          {"-c", "ulimit -f 6000; trap - XFSZ; exec \"$0\" \"$@\"", request.program});
      request.program = "/bin/sh";
    }
    ProcessRun run = RunProcess(request);
    EXPECT_EQ(run.exit_status, kExitWrite) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "capture-record: writing " + std::string(k.base) + "."))
        << run.err;
    EXPECT_TRUE(Contains(run.err, k.reason)) << run.err;
    fs::path prc = folder_ / (std::string(k.base) + ".prc");
    fs::path raw = folder_ / (std::string(k.base) + ".raw");
    std::vector<std::uint32_t> numbers = SampleNumbers(prc, raw);
    EXPECT_GT(numbers.size(), 0u);
    EXPECT_LT(numbers.size(), 200000u);
    EXPECT_EQ(Gaps(numbers), 0u);
    const std::string log = DriverLog();
    EXPECT_TRUE(Contains(log, "HsifSetMotorPower motor=1 power=0")) << log;
    EXPECT_TRUE(Contains(log, "HsifClose card=0 -> 1")) << log;
    ProcessRun info = Info({prc.string(), raw.string()});
    EXPECT_EQ(info.exit_status, 0) << info.out << info.err;
  }
}

TEST_F(RecordRun, CaptureInfoTellsWholeFilesFromCutAndInconsistentOnes) {
  Config c;
  c.samples = 30000;  // 0.6 s of a 20 Hz mirror
  ASSERT_EQ(RunProcess(Record(c)).exit_status, kExitComplete);
  const std::string whole = ReadText(folder_ / "scan01.prc");
  std::string miscounted = whole;
  miscounted[16] = static_cast<char>(miscounted[16] + 1);
  const struct {
    const char* name;
    std::string bytes;
    int status;
    const char* says;
  } files[] = {
      {"whole.prc", whole, 0, "Records present: 30000; header count 30000: match"},
      {"crash.prc", whole.substr(0, whole.size() - 10), 1, "NO (54 bytes of a cut record)"},
      {"miscounted.prc", miscounted, 1, "header count 30001: MISMATCH"},
      {"header.raw", whole.substr(0, kHeaderBytes), 1,
       "Records present: 0 (a header without records); header count 30000: MISMATCH"},
      {"short.raw", whole.substr(0, 100), 1, "not a whole, valid capture header"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    std::ofstream(folder_ / f.name, std::ios::binary) << f.bytes;
    ProcessRun run = Info({f.name});
    EXPECT_EQ(run.exit_status, f.status) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, f.says)) << run.out << run.err;
  }
  ProcessRun whole_run = Info({"whole.prc"});
  EXPECT_TRUE(Contains(whole_run.out, "Mirror: 20.000 rev/s mean, 20.000 min, 20.000 max"))
      << whole_run.out;
  // One bad file among several fails the run; no file is a usage error.
  EXPECT_EQ(Info({"whole.prc", "crash.prc"}).exit_status, 1);
  EXPECT_EQ(Info({"whole.prc", "missing.prc"}).exit_status, 1);
  EXPECT_EQ(Info({}).exit_status, 2);
}

// Little-endian bytes of `value`, `bytes` long.
std::string Le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xff);
  return out;
}

TEST_F(RecordRun, CaptureInfoPlacesGapsRefusesStrangersAndRepairs) {
  Config c;
  c.samples = 30000;
  ASSERT_EQ(RunProcess(Record(c)).exit_status, kExitComplete);
  const std::string whole = ReadText(folder_ / "scan01.prc");
  // 40000 records at 20 us, an index mark every 1000 samples (50 rev/s); 500
  // samples missing after record 20000 (in the second 1 MB read piece), that
  // record flagged as the stand-in flags a lost fetch's last one.
  constexpr std::uint32_t kRecords = 40000, kGapAfter = 20000;
  std::string records;
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    std::uint32_t sample = i <= kGapAfter ? i : i + 500;
    std::string record(64, '\0');
    std::uint16_t flags = (sample % 1000 == 0 ? 4 : 0) | (i == kGapAfter ? 1 : 0);
    record.replace(0, 2, Le(flags, 2));
    record.replace(4, 4, Le(sample, 4));
    records += record;
  }
  std::string header = whole.substr(0, kHeaderBytes);
  header.replace(16, 4, Le(kRecords, 4));
  std::ofstream(folder_ / "flagged.prc", std::ios::binary) << header << records;
  // The same records without the flag, and a block index that places the gap:
  // blocks of 1000 records, the one after the gap with 500 samples dropped.
  std::string unflagged = records;
  unflagged[kGapAfter * 64] = 0;
  std::ofstream(folder_ / "indexed.prc", std::ios::binary) << header << unflagged;
  std::string index =
      std::string("SCANMIDX") + Le(1, 4) + Le(32, 4) + Le(64, 4) + Le(0, 4) + Le(0, 8);
  for (std::uint32_t first = 0, sample = 0, block = 0; first < kRecords; ++block) {
    std::uint32_t count = first < kGapAfter + 1 && first + 1000 > kGapAfter + 1
                              ? kGapAfter + 1 - first
                              : std::min<std::uint32_t>(1000, kRecords - first);
    bool gap = first == kGapAfter + 1;
    if (gap) sample += 500;
    index += Le(block, 8) + Le(sample, 8) + Le(first, 8) + Le(count, 4) + Le(gap ? 2 : 0, 4) +
             Le(gap ? 500 : 0, 8) + Le(1700000000000000000ull + (sample + count) * 20000ull, 8) +
             Le((sample + count) * 20000ull, 8) + Le(0, 8);
    first += count;
    sample += count;
  }
  std::ofstream(folder_ / "indexed.idx", std::ios::binary) << index;
  for (const char* name : {"flagged.prc", "indexed.prc"}) {
    SCOPED_TRACE(name);
    ProcessRun run = Info({name});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "Mirror: 50.000 rev/s mean, 50.000 min, 50.000 max")) << run.out;
  }
  ProcessRun indexed = Info({"indexed.prc"});
  EXPECT_TRUE(Contains(indexed.out,
                       "Gaps: 1 (0 after lost data on the card, 1 where samples were "
                       "not kept: 500 samples)"))
      << indexed.out;
  EXPECT_TRUE(Contains(indexed.out,
                       "before record 20001 (2023-11-14 22:13:20.430 UTC): 500 "
                       "samples not kept (ring full)"))
      << indexed.out;
  EXPECT_TRUE(Contains(indexed.out, "Sample clock: 50000.0 samples/s")) << indexed.out;
  EXPECT_TRUE(Contains(indexed.out, "+0 ppm against the nominal 20 us")) << indexed.out;
  // The revolutions as the library's reader assembles them: the one the gap
  // cuts into and the last, cut by the end, are incomplete.
  EXPECT_TRUE(Contains(indexed.out,
                       "Revolutions: 38 complete, 2 incomplete\n  incomplete: 0 with data lost on "
                       "the card, 1 with samples not kept, 0 cut by the start, 1 cut by the end, "
                       "0 without an index mark for 1 s\n"))
      << indexed.out;
  // An index cut inside a record, or of another kind, makes the file inconsistent.
  std::ofstream(folder_ / "indexed.idx", std::ios::binary) << index.substr(0, index.size() - 3);
  EXPECT_EQ(Info({"indexed.prc"}).exit_status, 1);
  std::ofstream(folder_ / "indexed.idx", std::ios::binary) << "SCANMIDY" << index.substr(8);
  ProcessRun stranger = Info({"indexed.prc"});
  EXPECT_EQ(stranger.exit_status, 1);
  EXPECT_TRUE(Contains(stranger.out, "refused: not a block index")) << stranger.out;

  // A text file is no capture, and a hostile name reaches the terminal escaped.
  std::string text = "# Notes\n";
  while (text.size() < 12000) text += "Some words about the scanner and its mirror.\n";
  std::string hostile = whole;
  const std::string name = "\x1b]0;owned\x07\\n";
  hostile.replace(36, name.size() + 1, name + '\0');
  std::ofstream(folder_ / "notes.prc", std::ios::binary) << text;
  std::ofstream(folder_ / "hostile.prc", std::ios::binary) << hostile;
  ProcessRun notes = Info({"notes.prc"});
  EXPECT_EQ(notes.exit_status, 1);
  EXPECT_TRUE(Contains(notes.err, "notes.prc: not a capture file of this system")) << notes.err;
  EXPECT_FALSE(Contains(notes.out, "Records present")) << notes.out;
  ProcessRun named = Info({"hostile.prc"});
  EXPECT_EQ(named.exit_status, 0) << named.out;
  EXPECT_TRUE(Contains(named.out, " Cal file: \\x1B]0;owned\\x07\\x5Cn\n")) << named.out;
  EXPECT_FALSE(Contains(named.out, "\x1b")) << named.out;

  // The repair: a cut last record and a stale count are mended; a stranger is
  // left as it was.
  std::ofstream(folder_ / "crash.prc", std::ios::binary) << whole.substr(0, whole.size() - 10);
  ProcessRequest repair;
  repair.program = CAPTURE_INFO_EXE;
  repair.args = {"--repair", "crash.prc", "notes.prc"};
  repair.working_directory = folder_.string();
  ProcessRun mended = RunProcess(repair);
  EXPECT_EQ(mended.exit_status, 1) << "notes.prc refused";
  EXPECT_TRUE(Contains(mended.out, "Header count: 30000 -> 29999")) << mended.out;
  EXPECT_EQ(ReadText(folder_ / "notes.prc"), text);
  ProcessRun after = Info({"crash.prc"});
  EXPECT_EQ(after.exit_status, 0) << after.out;
  EXPECT_TRUE(Contains(after.out, "Records present: 29999; header count 29999: match"))
      << after.out;

  // A repair cuts only the index's trailing blocks past the records; an index
  // with a block out of order in the middle is refused as the library refuses
  // it, and left as it was.
  std::string overlapping = index;
  overlapping.replace(32 + 64 * 5 + 16, 8, Le(4500, 8));
  const std::string shorter = header + unflagged.substr(0, 39500 * 64);
  for (const bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "records cut" : "a block out of order");
    const std::string idx = cut ? index : overlapping;
    std::ofstream(folder_ / "indexed.prc", std::ios::binary)
        << (cut ? shorter : header + unflagged);
    std::ofstream(folder_ / "indexed.idx", std::ios::binary) << idx;
    if (!cut) {
      ProcessRun judged = Info({"indexed.prc"});
      EXPECT_EQ(judged.exit_status, 1);
      EXPECT_TRUE(Contains(judged.out,
                           "Block index out of order: block 5 starts at record 4500 where the "
                           "records of the blocks before it end at 5000"))
          << judged.out;
    }
    repair.args = {"--repair", "indexed.prc"};
    ProcessRun run = RunProcess(repair);
    EXPECT_EQ(run.exit_status, cut ? 0 : 1) << run.out;
    if (cut) {
      EXPECT_TRUE(Contains(run.out, "cut to 40 blocks")) << run.out;
      EXPECT_EQ(ReadText(folder_ / "indexed.idx"), idx.substr(0, 32 + 40 * 64));
      EXPECT_EQ(Info({"indexed.prc"}).exit_status, 0);
    } else {
      EXPECT_TRUE(Contains(run.out, "left alone: block 5 starts at record 4500")) << run.out;
      EXPECT_EQ(ReadText(folder_ / "indexed.idx"), idx);
    }
  }
}

// The demo's field map travels with the capture, says what the stand-in puts
// in its records (each field against the raw record it came from, or against
// the range and the angle), and is refused before the card when it is bad.
TEST_F(RecordRun, TheFieldMapTravelsWithTheCaptureAndMatchesTheStandIn) {
  Config c;
  c.samples = 5000;
  const fs::path demo_map = fs::path(SCANMON_DEMO_DIR) / "standin.fields";
  ProcessRun run = RunProcess(Record(c, {"--fields", demo_map.string()}));
  ASSERT_EQ(run.exit_status, kExitComplete) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "Field map: scan01.fields, 8 fields (from ")) << run.out;
  EXPECT_EQ(ReadText(folder_ / "scan01.fields"), ReadText(demo_map));

  scan_fields::FieldMap map;
  std::string error;
  ASSERT_TRUE(scan_fields::ReadFieldMapFile((folder_ / "scan01.fields").c_str(), &map, &error));
  const std::string prc = ReadText(folder_ / "scan01.prc");
  const std::string raw = ReadText(folder_ / "scan01.raw");
  auto value = [&](std::size_t k, const char* name) {
    int f = scan_fields::FindField(map, name);
    EXPECT_GE(f, 0) << name;
    return f < 0 ? 0.0
                 : scan_fields::FieldValue(map.fields[f], reinterpret_cast<const unsigned char*>(
                                                              prc.data() + kHeaderBytes + k * 64));
  };
  std::size_t ranged = 0;
  for (std::size_t k = 0; k < 5000; k += 7) {
    SCOPED_TRACE(k);
    const std::uint32_t w0 = Le32(raw, kHeaderBytes + k * 16),
                        w1 = Le32(raw, kHeaderBytes + k * 16 + 4),
                        w2 = Le32(raw, kHeaderBytes + k * 16 + 8),
                        w3 = Le32(raw, kHeaderBytes + k * 16 + 12);
    EXPECT_EQ(value(k, "amplitude"), w0 >> 16);
    EXPECT_EQ(value(k, "sample_number"), w3);
    EXPECT_EQ(value(k, "raw_range"), w1);
    EXPECT_EQ(value(k, "encoder1"), w2 & 0xffff);
    EXPECT_EQ(value(k, "encoder2"), w2 >> 16);
    double angle;
    std::memcpy(&angle, prc.data() + kHeaderBytes + k * 64 + 8, sizeof angle);
    const double range = value(k, "range");
    EXPECT_NEAR(value(k, "x"), range * std::cos(angle), 1e-9);
    EXPECT_NEAR(value(k, "y"), range * std::sin(angle), 1e-9);
    ranged += range > 100 && range < 600;  // inside the 40 x 30 ft room
  }
  EXPECT_GT(ranged, 600u);

  ProcessRun info = Info({"scan01.prc"});
  EXPECT_EQ(info.exit_status, 0) << info.out;
  EXPECT_TRUE(Contains(info.out, "Field map: scan01.fields, version 1, 8 fields\n")) << info.out;
  EXPECT_TRUE(Contains(info.out, "  range            f64 at 16, in\n")) << info.out;

  // A bad map is refused before the card is touched; the capture stays.
  std::ofstream(folder_ / "bad.fields") << "scanmon-fields 1\nrange 12 f64 1 in\n";
  fs::remove(log_);
  run = RunProcess(Record(c, {"--force", "--fields", "bad.fields"}));
  EXPECT_EQ(run.exit_status, kExitSetup) << run.err;
  EXPECT_TRUE(Contains(run.err,
                       "capture-record: bad.fields line 2: bytes 12-19 overlap the angle "
                       "(bytes 8-15); nothing recorded"))
      << run.err;
  EXPECT_FALSE(fs::exists(log_)) << "the driver was loaded";
  EXPECT_EQ(ReadText(folder_ / "scan01.fields"), ReadText(demo_map));

  // An earlier capture's map is refused without --force, removed with it (a
  // capture recorded without a map has none beside it).
  fs::remove(folder_ / "scan01.prc");
  fs::remove(folder_ / "scan01.idx");
  fs::remove(folder_ / "scan01.raw");
  run = RunProcess(Record(c));
  EXPECT_EQ(run.exit_status, kExitSetup) << run.err;
  EXPECT_TRUE(Contains(run.err, "scan01.fields exists; --force replaces it")) << run.err;
  EXPECT_EQ(RunProcess(Record(c, {"--force"})).exit_status, kExitComplete);
  EXPECT_FALSE(fs::exists(folder_ / "scan01.fields"));

  // capture-info refuses a capture whose map beside it is bad.
  fs::copy_file(folder_ / "bad.fields", folder_ / "scan01.fields");
  info = Info({"scan01.prc"});
  EXPECT_EQ(info.exit_status, 1);
  EXPECT_TRUE(Contains(info.out, "Field map: refused: scan01.fields line 2: bytes 12-19 overlap"))
      << info.out;
}

}  // namespace
