// Where the program's diagnostic stream goes: a console shows a line that is
// rewritten in place; a file or a pipe keeps every line, so a log is written in
// plain lines instead.
#pragma once

namespace platform {

// True when standard error is a terminal (a console window on Windows).
bool StandardErrorIsTerminal();

}  // namespace platform
