// A pseudo-terminal that plays the device at the far end of a serial line,
// bound to a COM number: the code under test opens the slave side as COM<n>;
// the test writes and reads on the master side.
#pragma once

#include <stdlib.h>

#include <string>

#include "platform/linux/port_names_linux.h"
#include "tests/support/pty_pair.h"

namespace port_test {

struct PtyLine : test_support::PtyPair {
  // Binds COM<number> to this line (replacing every other binding).
  void Bind(int number) const {
    std::string binding = "COM" + std::to_string(number) + "=" + slave_path();
    setenv(platform_linux::kComportsVariable, binding.c_str(), 1);
  }
};

}  // namespace port_test
