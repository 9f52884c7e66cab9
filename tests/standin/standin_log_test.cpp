// The call log on a file that cannot take a whole line (a full disk, here a
// file size limit): the failure is reported once, and no line is glued to a
// torn one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "standin/sim_log.h"
#include "tests/support/text.h"

using test_support::CountOf;
using test_support::ReadText;

namespace {

namespace fs = std::filesystem;

TEST(CallLog, FullFileIsReportedOnceAndLeavesNoGluedLine) {
  fs::path folder = fs::temp_directory_path() / ("standin_log_" + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::path log = folder / "driver.log";
  fs::path errors = folder / "stderr.txt";
  pid_t child = fork();
  if (child == 0) {
    std::freopen(errors.c_str(), "w", stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = 70;  // room for two lines of 28 bytes and part of a third
    setrlimit(RLIMIT_FSIZE, &small);
    standin::SetLogPath(log.c_str());
    for (int call = 1; call <= 5; ++call) standin::LogLine("HsifGetCardModel call=%d -> 1", call);
    setrlimit(RLIMIT_FSIZE, &limit);  // room again
    standin::LogLine("HsifClose card=0 -> 1");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  EXPECT_EQ(CountOf(ReadText(errors), "hsif stand-in: cannot write to the call log"), 1u)
      << ReadText(errors);
  // Whole lines, one torn line cut short, and the line after the room came back
  // on a line of its own.
  std::istringstream lines(ReadText(log));
  std::string line;
  int whole = 0;
  int torn = 0;
  bool close_seen = false;
  while (std::getline(lines, line)) {
    if (line == "HsifClose card=0 -> 1") {
      close_seen = true;
    } else if (line.size() == std::strlen("HsifGetCardModel call=1 -> 1") &&
               line.rfind("HsifGetCardModel call=", 0) == 0) {
      ++whole;
    } else if (line.empty() || std::string("HsifGetCardModel call=3 -> 1").rfind(line, 0) == 0) {
      ++torn;
    } else {
      ADD_FAILURE() << "glued or damaged line: " << line;
    }
  }
  EXPECT_EQ(whole, 2);
  EXPECT_LE(torn, 2);
  EXPECT_TRUE(close_seen);
  fs::remove_all(folder);
}

}  // namespace
