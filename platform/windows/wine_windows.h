// Whether the program runs under Wine rather than on Windows. Wine keeps the
// Windows interfaces but not every device behind them (a serial port there is
// a Unix terminal); tests use this to skip what Wine cannot show.
#pragma once

namespace platform_windows {

// True when ntdll offers Wine's own export `wine_get_version`.
bool RunningUnderWine();

}  // namespace platform_windows
