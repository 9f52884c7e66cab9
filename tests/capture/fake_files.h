// An in-memory stand-in for the platform's file calls, linked into the header
// tests in place of the real ones: one file at a time, with scripted failures.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win_types.h"

struct FakeFiles {
  // The file the next CreateFileA opens; absent files fail the open.
  bool exists = true;
  std::vector<unsigned char> content;
  std::size_t position = 0;

  // What the last CreateFileA asked for.
  std::string opened_name;
  win::DWORD access = 0;
  win::DWORD share_mode = 0;
  win::DWORD disposition = 0;
  win::DWORD flags = 0;

  // Counts of each transfer, in call order.
  std::vector<win::DWORD> write_counts;
  std::vector<win::DWORD> read_counts;
  int close_calls = 0;

  // Write number `fail_write` (0-based) fails outright; number `short_write`
  // writes one byte less than asked and reports success. -1: never.
  int fail_write = -1;
  int short_write = -1;
};

// The one fake, reset by each test.
extern FakeFiles g_fake;
inline const win::HANDLE kFakeHandle = win::HandleFromSlot(77);
