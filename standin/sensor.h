// The AR4000 sensor at the far end of the serial line, as far as the stand-in
// models it: it takes short text commands and answers each with one line.
// A command ends at CR or LF, or when the sender pauses (the line goes quiet),
// since single-letter commands are commonly sent without a terminator.
#pragma once

namespace standin {

inline constexpr int kSensorCommandChars = 64;

struct SensorState {
  char pending[kSensorCommandChars + 1] = {};
  int pending_length = 0;
  bool overlong = false;    // the pending command outgrew its buffer
  bool identified = false;  // "I" received at least once
  int commands = 0;
};

// Takes bytes that arrived. Each command completed by CR or LF is copied,
// NUL-terminated, into commands[i] (at most max_commands of them; more are
// answered but not returned) and its answer appended to reply[reply_size].
// Returns the number of commands completed; *reply_length the answer bytes.
int FeedSensor(SensorState* sensor, const char* bytes, int count, bool model_200khz,
               char (*commands)[kSensorCommandChars + 1], int max_commands, char* reply,
               int reply_size, int* reply_length);

// The line went quiet: a pending command without terminator is complete.
// Same outputs as FeedSensor.
int FlushSensor(SensorState* sensor, bool model_200khz, char (*commands)[kSensorCommandChars + 1],
                int max_commands, char* reply, int reply_size, int* reply_length);

}  // namespace standin
