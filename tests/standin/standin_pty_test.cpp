// On Linux the sensor's line is a pseudo-terminal: a real terminal at the
// asked rate, whose slave end the caller may close on its own.
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "standin_test_env.h"

namespace {

TEST_F(StandinTest, OpenPortFillsTheRecordWithARealLine) {
  SerialPort port;
  std::memset(&port, 0xEE, sizeof port);
  ASSERT_EQ(HsifOpenPort(&port, 9600, 3), 1);
  EXPECT_GT(port.handle, 2);
  EXPECT_TRUE(isatty(port.handle));
  termios settings{};
  ASSERT_EQ(tcgetattr(port.handle, &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
  EXPECT_EQ(settings.c_lflag & ECHO, 0u) << "a raw line: the sensor's input is not echoed";
  EXPECT_EQ(port.is_open, 1);
  EXPECT_EQ(port.dcb.DCBlength, 28u);
  EXPECT_EQ(port.dcb.BaudRate, 9600u);
  EXPECT_EQ(port.dcb.ByteSize, 8);
  EXPECT_EQ(port.baud_rate, 9600);
  EXPECT_EQ(port.write_overlapped.hEvent, 0);
  EXPECT_EQ(port.read_overlapped.hEvent, 0);
  EXPECT_EQ(HsifClosePort(&port), 1);
  EXPECT_EQ(port.is_open, 0);
  EXPECT_EQ(HsifClosePort(&port), 0) << "closed already";
}

TEST_F(StandinTest, ALineClosedByItsOwnerIsForgotten) {
  SerialPort first;
  ASSERT_EQ(HsifOpenPort(&first, 9600, 1), 1);
  // The monitor releases the line itself, closing only its handle.
  close(first.handle);
  SerialPort second;
  for (int i = 0; i < 40; ++i) {  // more lines than the table holds
    ASSERT_EQ(HsifOpenPort(&second, 9600, 1), 1) << i;
    ASSERT_EQ(HsifSendStr(&second, "I\r"), 1);
    close(second.handle);
  }
  EXPECT_EQ(HsifSendStr(&second, "I"), 0) << "a closed line is not written";
}

}  // namespace
