// Mending what a crash left of a capture file (capture-info --repair): a
// partial last record cut, the header's count set to the whole records
// present, and the block index beside a .prc cut to the blocks inside them.
// Nothing else changes; each step is said on stdout.
#pragma once

// Mends one file (messages on stderr after "<program>: "); true when it is
// whole and consistent afterwards.
bool MendCaptureFile(const char* program, const char* path);
