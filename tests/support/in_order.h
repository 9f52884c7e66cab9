// Looking for a sequence in a program's log (the stand-in driver's calls):
// each part after the one before it.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace test_support {

// Expects each of `parts` in `log`, each after where the one before it stood;
// a missing one is named with the whole log.
template <std::size_t N>
void ExpectInOrder(const std::string& log, const char* const (&parts)[N]) {
  std::size_t previous = 0;
  for (const char* part : parts) {
    std::size_t here = log.find(part, previous);
    EXPECT_NE(here, std::string::npos) << part << " missing or out of order in\n" << log;
    if (here != std::string::npos) previous = here;
  }
}

}  // namespace test_support
