#include "standin/sensor.h"

#include <cstdio>
#include <cstring>

namespace standin {

namespace {

void Append(char* reply, int reply_size, int* reply_length, const char* text) {
  int length = static_cast<int>(std::strlen(text));
  if (*reply_length + length > reply_size) return;  // no room: the answer is lost
  std::memcpy(reply + *reply_length, text, static_cast<std::size_t>(length));
  *reply_length += length;
}

// Completes the pending command: records it and appends its answer.
int CompleteCommand(SensorState* sensor, bool model_200khz,
                    char (*commands)[kSensorCommandChars + 1], int max_commands, int done,
                    char* reply, int reply_size, int* reply_length) {
  if (sensor->pending_length == 0 && !sensor->overlong) return done;
  sensor->pending[sensor->pending_length] = '\0';
  if (done < max_commands) {
    std::memcpy(commands[done], sensor->pending,
                static_cast<std::size_t>(sensor->pending_length) + 1);
  }
  ++sensor->commands;
  if (sensor->overlong) {
    Append(reply, reply_size, reply_length, "?\r\n");
  } else if (std::strcmp(sensor->pending, "I") == 0) {
    // Identify: the sensor names itself and its model.
    sensor->identified = true;
    Append(reply, reply_size, reply_length,
           model_200khz ? "AR4000 200KHZ STAND-IN\r\n" : "AR4000 50KHZ STAND-IN\r\n");
  } else {
    Append(reply, reply_size, reply_length, "?\r\n");
  }
  sensor->pending_length = 0;
  sensor->overlong = false;
  return done + 1;
}

}  // namespace

int FeedSensor(SensorState* sensor, const char* bytes, int count, bool model_200khz,
               char (*commands)[kSensorCommandChars + 1], int max_commands, char* reply,
               int reply_size, int* reply_length) {
  *reply_length = 0;
  int done = 0;
  for (int i = 0; i < count; ++i) {
    char c = bytes[i];
    if (c == '\r' || c == '\n') {
      done = CompleteCommand(sensor, model_200khz, commands, max_commands, done, reply, reply_size,
                             reply_length);
    } else if (sensor->pending_length < kSensorCommandChars) {
      sensor->pending[sensor->pending_length++] = c;
    } else {
      sensor->overlong = true;
    }
  }
  return done;
}

int FlushSensor(SensorState* sensor, bool model_200khz, char (*commands)[kSensorCommandChars + 1],
                int max_commands, char* reply, int reply_size, int* reply_length) {
  *reply_length = 0;
  return CompleteCommand(sensor, model_200khz, commands, max_commands, 0, reply, reply_size,
                         reply_length);
}

}  // namespace standin
