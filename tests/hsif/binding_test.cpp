// The stand-in as the monitor meets it: loaded by name, all fifty entry points
// resolved, and the port it opens released by the program's ClosePort.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "hsif/driver_binding.h"
#include "serial/serial_port.h"

namespace {

TEST(HsifBinding, LoadsByNameWithAllFiftyEntryPoints) {
  win::HMODULE module = LoadDriver();
  ASSERT_NE(module, nullptr) << "libhsif.so not found through the RUNPATH";
  for (std::size_t i = 0; i < kDriverEntryCount; ++i) {
    EXPECT_NE(g_driver.resolved[i], nullptr) << kDriverEntryNames[i];
  }
  ASSERT_EQ(g_driver.HsifDllInit(), 1);

  // The monitor's own storage is not cleared before the driver fills it.
  MonitorPortStorage storage;
  std::memset(storage.bytes, 0xC3, sizeof storage.bytes);
  ASSERT_NE(g_driver.HsifOpenPort(&storage.port, 9600, 1), 0);
  g_driver.HsifSendStr(&storage.port, "I");
  int handle = storage.port.handle;
  EXPECT_EQ(ClosePort(&storage.port), 1);
  EXPECT_EQ(storage.port.is_open, 0);
  EXPECT_EQ(fcntl(handle, F_GETFD), -1) << "the line's handle is closed";
  EXPECT_EQ(storage.bytes[2251], 0xC3) << "nothing written past the record";
}

}  // namespace
