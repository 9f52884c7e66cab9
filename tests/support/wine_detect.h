// For tests: whether this test program runs under Wine (the 64-bit Windows
// build's tests run there through ctest). Use it to skip, with a reason, what
// Wine cannot show, e.g.:
//
//   if (test_support::RunningUnderWine())
//     GTEST_SKIP() << "Wine's console does not see keys from a pipe";
//
// Always false on Linux. Under Wine the test run also sets SCANMON_UNDER_WINE=1
// and, when it made a null-modem pair of pseudo-terminals, SCANMON_WINE_PORTS
// ("COM1 COM2": what one end sends the other receives).
#pragma once

namespace test_support {

#if defined(_WIN32)
// Wine keeps the Windows interfaces but not every device behind them (a serial
// port there is a Unix terminal). Defined in wine_detect_windows.cpp, which a
// Windows test program using this lists among its sources.
bool RunningUnderWine();
#else
inline bool RunningUnderWine() {
  return false;
}
#endif

}  // namespace test_support
