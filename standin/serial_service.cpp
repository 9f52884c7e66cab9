#include "standin/serial_service.h"

#include <cstring>

#include "standin/sim_clock.h"
#include "standin/sim_log.h"

namespace standin {

namespace {

constexpr int kMaxCommandsPerRead = 8;

void ReapClosedLines() {
  for (Line& line : Driver().lines) {
    if (line.used && CallerEndClosed(line.sensor_end)) {
      CloseSensorEnd(line.sensor_end);
      line = Line{};
    }
  }
}

void AnswerCommands(Line* line, int completed, char (*commands)[kSensorCommandChars + 1],
                    const char* reply, int reply_length) {
  for (int i = 0; i < completed && i < kMaxCommandsPerRead; ++i) {
    char quoted[kSensorCommandChars * 4 + 8];
    QuoteForLog(commands[i], static_cast<int>(std::strlen(commands[i])), quoted, sizeof quoted);
    LogLine("sensor received %s", quoted);
  }
  if (reply_length > 0) WriteSensorEnd(line->sensor_end, reply, reply_length);
}

}  // namespace

Line* FindLine(const SerialPort* port) {
  ReapClosedLines();
  if (port == nullptr) return nullptr;
  for (Line& line : Driver().lines) {
    if (line.used && line.caller_slot == port->handle) return &line;
  }
  return nullptr;
}

Line* FreeLine() {
  ReapClosedLines();
  for (Line& line : Driver().lines) {
    if (!line.used) return &line;
  }
  return nullptr;
}

void ServiceSensor(Line* line, int expected, int wait_ms) {
  bool model_200khz = Driver().settings.model_200khz;
  std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(wait_ms) * 1000000;
  int received = 0;
  char bytes[256];
  char commands[kMaxCommandsPerRead][kSensorCommandChars + 1];
  char reply[512];
  int reply_length = 0;
  for (;;) {
    std::int64_t left_ns = deadline - MonotonicNs();
    int wait = received < expected && left_ns > 0 ? static_cast<int>(left_ns / 1000000) + 1 : 0;
    int got = ReadSensorEnd(line->sensor_end, bytes, sizeof bytes, wait);
    if (got <= 0) break;
    received += got;
    int completed = FeedSensor(&line->sensor, bytes, got, model_200khz, commands,
                               kMaxCommandsPerRead, reply, sizeof reply, &reply_length);
    AnswerCommands(line, completed, commands, reply, reply_length);
  }
  // The line is quiet: a command sent without terminator is complete.
  int completed = FlushSensor(&line->sensor, model_200khz, commands, kMaxCommandsPerRead, reply,
                              sizeof reply, &reply_length);
  AnswerCommands(line, completed, commands, reply, reply_length);
}

void ServiceAllSensors() {
  ReapClosedLines();
  for (Line& line : Driver().lines) {
    if (line.used) ServiceSensor(&line, 0, 0);
  }
}

void DropLine(Line* line) {
  CloseCallerEnd(line->caller_slot);
  CloseSensorEnd(line->sensor_end);
  *line = Line{};
}

}  // namespace standin
