// The call log (HSIF_SIM_LOG): one line per entry-point call, appended to a file
// so that tests can check the order and the arguments of the calls.
#pragma once

namespace standin {

// Sets the log file; null or "" switches the log off.
void SetLogPath(const char* path);

// Appends one printf-style line (the line feed is added; cut with "..." past
// 1024 characters). The file is opened and closed around each line, and the
// line is written whole in one write, so readers always see whole lines. A
// file that cannot be opened, or a write that fails (a full disk), is reported
// once on stderr; after a failed write the next line starts on a new line, so
// a torn line is never glued to the next call's.
void LogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Copies text into out (of out_size >= 4 bytes) for a log line: printable
// ASCII kept, anything else as \xNN, cut with "..." when it does not fit.
void QuoteForLog(const char* text, int length, char* out, int out_size);

}  // namespace standin
