// Events are eventfd descriptors: signalled while their counter is non-zero.
// Only unnamed manual-reset events exist.
#pragma once

#include "platform/win_types.h"

namespace platform_linux {

// Signals the event in a handle slot; slot 0 (no event) is skipped.
void SignalEvent(win::HandleSlot event);

}  // namespace platform_linux
