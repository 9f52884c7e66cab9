// The sensor's serial line carries the monitor's command to the simulated
// sensor and its answer back.
#include <cstring>

#include "standin_test_env.h"

namespace {

TEST_F(StandinTest, CommandReachesTheSensorAndItsAnswerComesBack) {
  const struct {
    const char* model;
    const char* answer;
  } cases[] = {{"200", "AR4000 200KHZ STAND-IN"}, {"50", "AR4000 50KHZ STAND-IN"}};
  for (const auto& c : cases) {
    Configure({{"HSIF_SIM_MODEL", c.model}});
    SerialPort port;
    ASSERT_EQ(HsifOpenPort(&port, 9600, 1), 1);
    ASSERT_EQ(HsifSendStr(&port, "I"), 1);
    char line[64];
    std::memset(line, 'j', sizeof line);
    EXPECT_EQ(HsifAsciiReadLine(&port, line, sizeof line, 500),
              static_cast<hsif_i32>(std::strlen(c.answer)));
    EXPECT_STREQ(line, c.answer);
    EXPECT_NE(Log().find("HsifOpenPort baud=9600 port=1 -> 1\nsensor received I\n"
                         "HsifSendStr text=I -> 1\n"),
              std::string::npos)
        << Log();
    // Nothing more waits: a read times out.
    EXPECT_EQ(HsifAsciiReadLine(&port, line, sizeof line, 10), -1);
    HsifClosePort(&port);
  }
}

TEST_F(StandinTest, OpenPortRefusals) {
  const struct {
    hsif_i32 baud;
    hsif_i32 com;
    hsif_i32 result;
  } rows[] = {{9600, 1, 1},  {115200, 255, 1}, {110, 2, 1},   {9600, 0, 0}, {9600, 256, 0},
              {9600, -1, 0}, {0, 1, 0},        {-9600, 1, 0}, {12345, 1, 0}};
  for (const auto& r : rows) {
    SerialPort port;
    std::memset(&port, 0x33, sizeof port);
    EXPECT_EQ(HsifOpenPort(&port, r.baud, r.com), r.result) << r.baud << " " << r.com;
    if (r.result == 1) {
      EXPECT_EQ(port.baud_rate, r.baud);
      HsifClosePort(&port);
    } else {
      EXPECT_EQ(port.handle, -1);
      EXPECT_EQ(port.is_open, 0);
    }
  }
  EXPECT_EQ(HsifOpenPort(nullptr, 9600, 1), 0);
}

TEST_F(StandinTest, SerialCallsOnForeignOrNullRecordsFail) {
  SerialPort foreign;
  std::memset(&foreign, 0, sizeof foreign);
  foreign.handle = 1;  // stdout: never written by the driver
  char buffer[8];
  hsif_i32 count = 0;
  for (SerialPort* port : {&foreign, static_cast<SerialPort*>(nullptr)}) {
    EXPECT_EQ(HsifSendStr(port, "I"), 0);
    EXPECT_EQ(HsifSendBinary(port, "I", 1), 0);
    EXPECT_EQ(HsifWritePort(port, "I", 1, &count), 0);
    EXPECT_EQ(HsifReadPort(port, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(HsifAsciiRead(port, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(HsifAsciiReadLine(port, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(HsifBinaryReadBytes(port, buffer, 1, 0), -1);
    EXPECT_EQ(HsifPurgePort(port), 0);
    EXPECT_EQ(HsifClosePort(port), 0);
  }
  SerialPort port;
  ASSERT_EQ(HsifOpenPort(&port, 9600, 1), 1);
  EXPECT_EQ(HsifSendStr(&port, nullptr), 0);
  EXPECT_EQ(HsifSendStr(&port, std::string(5000, 'a').c_str()), 0);
  EXPECT_EQ(HsifSendBinary(&port, "x", -1), 0);
  EXPECT_EQ(HsifAsciiRead(&port, buffer, 0, 0), -1);
  EXPECT_EQ(HsifReadPort(&port, buffer, -1, &count), 0);
  HsifClosePort(&port);
}

TEST_F(StandinTest, ReadsAreBoundedByTheCallersBuffer) {
  SerialPort port;
  ASSERT_EQ(HsifOpenPort(&port, 9600, 1), 1);
  ASSERT_EQ(HsifSendStr(&port, "I\nI\n"), 1);
  char small[8];
  std::memset(small, 'j', sizeof small);
  // A long line in a short buffer: cut, terminated, the rest of it dropped.
  EXPECT_EQ(HsifAsciiReadLine(&port, small, 5, 500), 4);
  EXPECT_STREQ(small, "AR40");
  EXPECT_EQ(small[5], 'j');
  char bytes[6];
  EXPECT_EQ(HsifBinaryReadBytes(&port, bytes, 6, 500), 6);
  EXPECT_EQ(std::string(bytes, 6), "AR4000");
  EXPECT_EQ(HsifPurgePort(&port), 1);
  EXPECT_EQ(HsifAsciiRead(&port, small, sizeof small, 10), 0);
  EXPECT_STREQ(small, "");
  HsifClosePort(&port);
}

}  // namespace
