// Preloaded into capture-record by the benchmark, with the monitor benchmark's
// malloc counter: at exit, writes the process's heap allocation count to the
// file named by CAPTURE_BENCH_MALLOC_OUT.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bench/monitor/malloc_counter.h"

namespace {

__attribute__((destructor)) void ReportAllocations() {
  const char* path = std::getenv("CAPTURE_BENCH_MALLOC_OUT");
  if (path == nullptr) return;
  char text[32];
  int n = std::snprintf(text, sizeof text, "%llu\n",
                        static_cast<unsigned long long>(HeapAllocationCount()));
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text, static_cast<std::size_t>(n));
  (void)ignored;
  close(fd);
}

}  // namespace
