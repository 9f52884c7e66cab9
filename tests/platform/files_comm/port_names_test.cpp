// COM names to device paths: the environment binding, the bindings files and
// the default numbering.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/errors.h"
#include "platform/linux/port_names_linux.h"
#include "tests/support/scratch_dir.h"

namespace {

std::string Resolve(const char* name) {
  char path[256];
  bool is_port = false;
  if (!platform_linux::ResolveDeviceName(name, path, sizeof path, &is_port)) {
    return "error " + std::to_string(win::GetLastError());
  }
  return std::string(is_port ? "port " : "path ") + path;
}

class PortNames : public testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.str();
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    unsetenv(platform_linux::kComportsVariable);
  }
  void TearDown() override { unsetenv(platform_linux::kComportsVariable); }
  void WriteBindings(const std::string& text) {
    mkdir((config_ + "/scanmon").c_str(), 0700);
    FILE* file = std::fopen((config_ + "/scanmon/comports").c_str(), "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
  }
  test_support::ScratchDir dir_;
  std::string config_;
};

TEST_F(PortNames, NamesResolveThroughBindingsThenTheDefault) {
  setenv(platform_linux::kComportsVariable, "COM3=/dev/ttyUSB0; com12 = /dev/pts/9 ;bad;COM4=", 1);
  WriteBindings("# adapters\nCOM3=/dev/ignored\n  COM5 = /dev/serial/by-id/x  # the motor\n" +
                std::string(5000, 'x') + "COM6=/dev/cut\nCOM6=/dev/whole\n");
  struct Row {
    const char* name;
    const char* expected;
  };
  const Row rows[] = {
      {"COM3", "port /dev/ttyUSB0"},         // the variable wins over the file
      {"\\\\.\\COM12", "port /dev/pts/9"},   // device namespace, any case
      {"COM5", "port /dev/serial/by-id/x"},  // the user's file, blanks and comment
      {"COM6", "port /dev/whole"},           // an overlong line is skipped whole
      {"COM4", "port /dev/ttyS3"},           // an empty binding does not count
      {"COM1", "port /dev/ttyS0"},           // the default numbering
      {"COM03", "path COM03"},               // not a port name: a path
      {"COM0", "path COM0"},
      {"COM1x", "path COM1x"},
      {"/dev/ttyACM0", "path /dev/ttyACM0"},
      {"\\\\.\\LPT1", "error 2"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Resolve(row.name), row.expected) << row.name;
  }
}

}  // namespace
