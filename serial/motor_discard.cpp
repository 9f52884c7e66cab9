#include "platform/comm.h"
#include "serial/motor_link.h"

bool DiscardMotorInput(win::HANDLE port) {
  return win::PurgeComm(port, win::PURGE_RXCLEAR) != 0;
}
