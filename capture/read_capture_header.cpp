#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture/capture_header.h"
#include "capture/header_bytes.h"
#include "platform/files.h"

namespace {

// Each reader leaves its field as it was when the read fails.
bool ReadLe32(win::HANDLE handle, std::uint32_t* field) {
  unsigned char bytes[4];
  if (!ReadExact(handle, bytes, sizeof bytes)) return false;
  *field = capture_bytes::DecodeLe32(bytes);
  return true;
}

bool ReadLe32(win::HANDLE handle, std::int32_t* field) {
  std::uint32_t word = 0;
  if (!ReadLe32(handle, &word)) return false;
  *field = static_cast<std::int32_t>(word);
  return true;
}

bool ReadByte(win::HANDLE handle, std::uint8_t* field) {
  std::uint8_t byte = 0;
  if (!ReadExact(handle, &byte, 1)) return false;
  *field = byte;
  return true;
}

bool ReadFields(win::HANDLE handle, CaptureHeader* header) {
  if (!ReadLe32(handle, &header->version) || !ReadLe32(handle, &header->sample_period) ||
      !ReadLe32(handle, &header->max_range) || !ReadLe32(handle, &header->buf_size) ||
      !ReadLe32(handle, &header->num_samples) || !ReadLe32(handle, &header->motor1_encoder_ppr) ||
      !ReadLe32(handle, &header->motor2_encoder_ppr) ||
      !ReadLe32(handle, &header->calibration_value) || !ReadByte(handle, &header->motor1_power) ||
      !ReadByte(handle, &header->motor2_power) || !ReadByte(handle, &header->comport) ||
      !ReadByte(handle, &header->card_number)) {
    return false;
  }
  char name[kCalFileBytes];
  if (!ReadExact(handle, name, kCalFileBytes)) return false;
  std::memcpy(header->cal_file, name, kCalFileBytes);
  return true;
}

const char* SensorModelText(std::uint8_t model) {
  switch (model) {
    case kSensorModel50kHz:
      return "50 kHz\n";
    case kSensorModel200kHz:
      return "200 kHz\n";
    default:
      return "unknown\n";
  }
}

// The 32-bit fields are shown as signed decimals, whatever their type.
int AsSigned(std::uint32_t value) {
  return static_cast<std::int32_t>(value);
}

// The name as bytes a terminal shows as they are: printable ASCII, anything
// else (control bytes, bytes above 126, a backslash) as \xHH.
void PrintEscapedName(const CaptureHeader& header) {
  for (std::size_t i = 0; i < kCalFileBytes && header.cal_file[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(header.cal_file[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      std::putchar(c);
    } else {
      std::printf("\\x%02X", c);
    }
  }
}

}  // namespace

void PrintCaptureHeaderReport(const CaptureHeader& header, bool escape_name) {
  std::printf("Read Header\n");
  std::printf(" Header Version: %d\n", AsSigned(header.version));
  std::printf(" Sampling period: %d\n", AsSigned(header.sample_period));
  std::printf(" Max range: %d (in)\n", AsSigned(header.max_range));
  std::printf(" Buf size: %d\n", AsSigned(header.buf_size));
  std::printf(" Num samples: %d\n", AsSigned(header.num_samples));
  std::printf(" Motor 1 encoder ppr: %d\n", header.motor1_encoder_ppr);
  std::printf(" Motor 2 encoder ppr: %d\n", header.motor2_encoder_ppr);
  std::printf(" Motor 1 power: %d\n", header.motor1_power);
  std::printf(" Motor 2 power: %d\n", header.motor2_power);
  std::printf(" Calibration value: %d\n", header.calibration_value);
  std::printf(" Comport: %d\n", header.comport);
  std::printf(" Card number: %d\n", header.card_number);
  if (escape_name) {
    std::printf(" Cal file: ");
    PrintEscapedName(header);
    std::printf("\n");
  } else {
    // A name field from a file need not hold its NUL: never read past it.
    std::printf(" Cal file: %.*s\n", static_cast<int>(kCalFileBytes), header.cal_file);
  }
  std::printf(" Sensor Model: AR4000 - %s", SensorModelText(header.sensor_model));
}

int ReadCaptureHeader(const char* path, win::HANDLE* handle_out, CaptureHeader* header) {
  if (!ReadCaptureHeaderQuietly(path, handle_out, header)) {
    if (!win::IsValidHandle(*handle_out)) std::printf("Could not open %s\n", path);
    return 0;
  }
  PrintCaptureHeaderReport(*header, false);
  return 1;
}

int ReadCaptureHeaderQuietly(const char* path, win::HANDLE* handle_out, CaptureHeader* header) {
  *handle_out = win::INVALID_HANDLE_VALUE;
  // Share mode 0: nobody may write the capture while its header is trusted.
  *handle_out =
      win::CreateFileA(path, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
  if (!win::IsValidHandle(*handle_out)) {
    *handle_out = win::INVALID_HANDLE_VALUE;
    return 0;
  }
  return ReadCaptureHeaderFrom(*handle_out, header);
}

int ReadCaptureHeaderFrom(win::HANDLE handle, CaptureHeader* header) {
  if (!ReadFields(handle, header)) return 0;

  if (header->version == kCaptureHeaderVersion) {
    if (!ReadByte(handle, &header->sensor_model)) return 0;
    if (header->sensor_model != kSensorModel50kHz && header->sensor_model != kSensorModel200kHz) {
      return 0;
    }
  } else {
    // Older headers end after the name: the next byte is already capture data.
    header->sensor_model = kSensorModelUnknown;
  }
  return 1;
}
