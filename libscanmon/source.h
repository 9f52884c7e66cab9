// The library's sources behind the C interface: one interface, two kinds.
//
// The C functions (api.cpp) check every argument and then call these; the
// source sets the thread's error text through SetError for every result other
// than SCANMON_OK.
#pragma once

#include <cstdint>
#include <memory>

#include "fields/field_map.h"
#include "health/scan_health.h"
#include "scanmon/scanmon.h"

namespace scanmon_lib {

class Source {
 public:
  virtual ~Source() = default;
  // scanmon_read_block's contract; capacity applies to the non-null buffers.
  virtual int ReadBlock(std::int32_t timeout_ms, scanmon_block* block, scanmon_sample* samples,
                        scanmon_raw_sample* raw, std::uint32_t capacity) = 0;
  // Fill the caller's struct; struct_size has been checked.
  virtual void Info(scanmon_source_info* info) const = 0;
  virtual void Health(scanmon_health* health) = 0;
  virtual void Header(scanmon_capture_header* header) const = 0;

  // The source's field map (fields_api.cpp), none until one is loaded; a
  // capture's <base>.fields is loaded at open.
  std::unique_ptr<scan_fields::FieldMap> field_map;
};

// One C call's hold on the open source behind a handle (api.cpp): status()
// is SCANMON_OK and source() the source when the call may go on; otherwise
// the refusal's status, its text set (a null, closed or unknown handle, or
// another call running on it). Released when the call ends.
class HandleClaim {
 public:
  HandleClaim(scanmon_source* handle, const char* call);
  ~HandleClaim();
  HandleClaim(const HandleClaim&) = delete;
  HandleClaim& operator=(const HandleClaim&) = delete;
  int status() const { return status_; }
  Source* source() const { return source_; }

 private:
  scanmon_source* handle_;
  Source* source_ = nullptr;
  int status_;
};

// Gives a freshly opened capture source the map <base>.fields when it is
// there (fields_api.cpp). SCANMON_OK, or the map's status and text.
int LoadCaptureFieldMap(const char* base, Source* source);

// The thread's last error text: set (printf-style) with the result it goes
// with, which is returned; cleared by ClearError.
int SetError(int status, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void ClearError();
const char* LastError();

// The health module's figures and totals into the interface's struct (the
// source's own counts are left to the caller).
void FillHealth(const HealthFigures& figures, const HealthTotals& totals, scanmon_health* out);

}  // namespace scanmon_lib
