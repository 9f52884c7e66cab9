// Suspends the one thread of the program for a number of milliseconds.
#pragma once

#include "platform/win_types.h"

namespace win {

void Sleep(DWORD milliseconds);

}  // namespace win
