#include <cstdint>

#include "capture/capture_header.h"
#include "capture/header_bytes.h"

namespace {

int WriteLe32(win::HANDLE handle, std::uint32_t value) {
  unsigned char bytes[4];
  capture_bytes::EncodeLe32(value, bytes);
  return WriteExact(handle, bytes, sizeof bytes);
}

}  // namespace

int WriteCaptureHeader(win::HANDLE handle, CaptureHeader header) {
  // Whatever version the settings came from, this writer produces the version-3
  // layout, the only one that carries the sensor model.
  header.version = kCaptureHeaderVersion;

  // One transfer per field, in file order; calibration_value follows the
  // encoders in the file.
  const std::uint32_t words[] = {
      header.version,
      header.sample_period,
      header.max_range,
      header.buf_size,
      header.num_samples,
      static_cast<std::uint32_t>(header.motor1_encoder_ppr),
      static_cast<std::uint32_t>(header.motor2_encoder_ppr),
      static_cast<std::uint32_t>(header.calibration_value),
  };
  for (std::uint32_t word : words) {
    if (!WriteLe32(handle, word)) return 0;
  }
  const std::uint8_t* const bytes[] = {&header.motor1_power, &header.motor2_power, &header.comport,
                                       &header.card_number};
  for (const std::uint8_t* byte : bytes) {
    if (!WriteExact(handle, byte, 1)) return 0;
  }
  if (!WriteExact(handle, header.cal_file, kCalFileBytes)) return 0;
  if (!WriteExact(handle, &header.sensor_model, 1)) return 0;
  return 1;
}
