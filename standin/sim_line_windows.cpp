// Windows: a duplex named pipe, private to the process. The caller's end is the
// client handle (ReadFile, WriteFile and CloseHandle work on it as on a serial
// port; the comm calls fail on it harmlessly); the server end is the sensor.
// A pipe has no bit rate: the asked rate is only checked.
#include "standin/sim_line.h"

#include <windows.h>

#include <cstdio>

namespace standin {

namespace {

constexpr int kBauds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool KnownBaud(int baud) {
  for (int known : kBauds) {
    if (known == baud) return true;
  }
  return false;
}

HANDLE AsHandle(SensorEnd end) {
  return reinterpret_cast<HANDLE>(end);
}
HANDLE SlotHandle(std::int32_t slot) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(slot));
}

// Bytes waiting in a pipe, or -1 when the other end has gone.
long BytesWaiting(HANDLE pipe) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return -1;
  return static_cast<long>(available);
}

int ReadPipe(HANDLE pipe, void* buffer, int size, int wait_ms) {
  DWORD deadline = GetTickCount() + static_cast<DWORD>(wait_ms);
  for (;;) {
    long waiting = BytesWaiting(pipe);
    if (waiting < 0) return -1;
    if (waiting > 0) {
      DWORD want = static_cast<DWORD>(waiting < size ? waiting : size);
      DWORD got = 0;
      if (!ReadFile(pipe, buffer, want, &got, nullptr)) return -1;
      return static_cast<int>(got);
    }
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return 0;
    Sleep(1);
  }
}

}  // namespace

bool OpenLinePair(int baud, std::int32_t* caller_slot, SensorEnd* sensor_end) {
  if (!KnownBaud(baud)) return false;
  static unsigned serial = 0;
  char name[96];
  std::snprintf(name, sizeof name, "\\\\.\\pipe\\hsif-standin-%lu-%u",
                static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
  HANDLE server =
      CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, 4096, 4096, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return false;
  HANDLE client =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    CloseHandle(server);
    return false;
  }
  // The client is already connected; this only confirms it.
  if (!ConnectNamedPipe(server, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    CloseHandle(client);
    CloseHandle(server);
    return false;
  }
  // The sensor never blocks: a reply that does not fit the pipe is dropped, as
  // bytes are lost on a serial line whose reader does not keep up.
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  SetNamedPipeHandleState(server, &mode, nullptr, nullptr);
  *caller_slot = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(client));
  *sensor_end = reinterpret_cast<SensorEnd>(server);
  return true;
}

void CloseCallerEnd(std::int32_t caller_slot) {
  CloseHandle(SlotHandle(caller_slot));
}

void CloseSensorEnd(SensorEnd sensor_end) {
  CloseHandle(AsHandle(sensor_end));
}

bool CallerEndClosed(SensorEnd sensor_end) {
  return BytesWaiting(AsHandle(sensor_end)) < 0;
}

int ReadSensorEnd(SensorEnd sensor_end, char* buffer, int size, int wait_ms) {
  return ReadPipe(AsHandle(sensor_end), buffer, size, wait_ms);
}

int WriteSensorEnd(SensorEnd sensor_end, const char* data, int count) {
  DWORD put = 0;
  if (!WriteFile(AsHandle(sensor_end), data, static_cast<DWORD>(count), &put, nullptr)) return -1;
  return static_cast<int>(put);
}

int WriteCallerEnd(std::int32_t caller_slot, const void* data, int count) {
  DWORD put = 0;
  if (!WriteFile(SlotHandle(caller_slot), data, static_cast<DWORD>(count), &put, nullptr)) {
    return -1;
  }
  return static_cast<int>(put);
}

int ReadCallerEnd(std::int32_t caller_slot, void* buffer, int size, int wait_ms) {
  return ReadPipe(SlotHandle(caller_slot), buffer, size, wait_ms);
}

void PurgeCallerInput(std::int32_t caller_slot) {
  char scratch[256];
  while (ReadPipe(SlotHandle(caller_slot), scratch, sizeof scratch, 0) > 0) {
  }
}

}  // namespace standin
