// A monotonic clock for rates and display pacing: never set back, unaffected
// by changes of the wall clock.
#pragma once

namespace platform {

// Seconds since an arbitrary origin fixed for the process.
double MonotonicSeconds();

}  // namespace platform
