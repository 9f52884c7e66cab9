#include <unistd.h>

#include "platform/console_output.h"

namespace platform {

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace platform
