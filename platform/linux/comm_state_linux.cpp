// GetCommState and SetCommState: the device-control block mapped onto termios.
//
// termios holds the bit rate, data bits, parity, stop bits, CTS/RTS and
// XON/XOFF flow control and the XON/XOFF characters; those are always read
// from the line. Everything else of the block (XonLim, XoffLim, ErrorChar,
// EofChar, EvtChar, fNull, fAbortOnError, ...) is kept beside the descriptor,
// so a read-back gives what was set. The line always runs raw (binary), as a
// Windows port does.
#include <sys/ioctl.h>
#include <termios.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "platform/comm.h"
#include "platform/errors.h"
#include "platform/linux/bit_rate_linux.h"
#include "platform/linux/errno_map.h"
#include "platform/linux/handle_table_linux.h"

namespace win {
namespace {

struct StandardRate {
  DWORD rate;
  speed_t code;
};
constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool FindStandardRate(DWORD rate, speed_t* code) {
  for (const StandardRate& entry : kStandardRates) {
    if (entry.rate == rate) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kInputFlowBits = IXON | IXOFF;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Windows refuses these combinations too; the ones Linux cannot do at all
// (DSR output flow control, DTR handshake, RTS toggle) are not supported.
DWORD CheckBlock(const DCB& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  // 1.5 stop bits exist only with 5 data bits, where the UART's "two stop
  // bits" setting sends 1.5; 2 stop bits are refused with 5 data bits.
  if ((dcb.StopBits == ONE5STOPBITS) != (dcb.StopBits != ONESTOPBIT && dcb.ByteSize == 5)) {
    return ERROR_INVALID_PARAMETER;
  }
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
  if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
      dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

void ApplyBlock(const DCB& dcb, termios* line) {
  // Raw: no line editing, echo, signals or character translation. IGNPAR goes
  // too: a byte received with a parity error never vanishes.
  line->c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                     INPCK | kInputFlowBits);
  line->c_oflag &= ~OPOST;
  line->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  line->c_cflag &= ~kFramingBits;
  line->c_cflag |= CREAD | CLOCAL;
  line->c_cc[VMIN] = 1;
  line->c_cc[VTIME] = 0;

  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  line->c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY:
      line->c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      line->c_cflag |= PARENB;
      break;
    case MARKPARITY:
      line->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      line->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // Windows passes a byte with a parity error as it came, unless asked to
  // replace it (fErrorChar). With INPCK off the driver passes it unchanged and
  // still counts the error (ClearCommError's CE_RXPARITY); with INPCK on it is
  // replaced by a NUL, Linux's only replacement.
  if (dcb.Parity != NOPARITY && dcb.fParity && dcb.fErrorChar) line->c_iflag |= INPCK;
  if (dcb.StopBits != ONESTOPBIT) line->c_cflag |= CSTOPB;
  // Linux has one switch for both directions of RTS/CTS flow control.
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) line->c_cflag |= CRTSCTS;
  if (dcb.fOutX) line->c_iflag |= IXON;
  if (dcb.fInX) line->c_iflag |= IXOFF;
  line->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  line->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

bool RateMatches(DWORD asked, unsigned got) {
  // A driver may settle on the nearest rate its clock divides to; UARTs
  // tolerate about 2 % between the two ends.
  return std::llabs(static_cast<long long>(asked) - static_cast<long long>(got)) * 50 <=
         static_cast<long long>(asked);
}

// DTR and RTS as the control fields ask; a line without modem lines (a
// pseudo-terminal) has nothing to set.
DWORD SetModemLines(int fd, const DCB& dcb) {
  struct Change {
    bool wanted;
    bool raise;
    int line;
  };
  const Change changes[] = {
      {true, dcb.fDtrControl == DTR_CONTROL_ENABLE, TIOCM_DTR},
      {dcb.fRtsControl != RTS_CONTROL_HANDSHAKE, dcb.fRtsControl == RTS_CONTROL_ENABLE, TIOCM_RTS},
  };
  for (const Change& change : changes) {
    if (!change.wanted) continue;
    int line = change.line;
    if (ioctl(fd, change.raise ? TIOCMBIS : TIOCMBIC, &line) != 0 && errno != ENOTTY &&
        errno != EINVAL) {
      return platform_linux::WinErrorFromErrno(errno);
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace

BOOL GetCommState(HANDLE handle, DCB* dcb) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  termios line{};
  unsigned rate = 0;
  if (tcgetattr(fd, &line) != 0 || !platform_linux::GetBitRate(fd, &rate)) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  DCB result = state.kept;
  result.DCBlength = sizeof(DCB);
  result.BaudRate = rate;
  switch (line.c_cflag & CSIZE) {
    case CS5:
      result.ByteSize = 5;
      break;
    case CS6:
      result.ByteSize = 6;
      break;
    case CS7:
      result.ByteSize = 7;
      break;
    default:
      result.ByteSize = 8;
      break;
  }
  if ((line.c_cflag & PARENB) == 0) {
    result.Parity = NOPARITY;
  } else if ((line.c_cflag & CMSPAR) != 0) {
    result.Parity = (line.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  } else {
    result.Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  }
  result.StopBits = (line.c_cflag & CSTOPB) == 0 ? ONESTOPBIT
                    : result.ByteSize == 5       ? ONE5STOPBITS
                                                 : TWOSTOPBITS;
  bool cts_rts = (line.c_cflag & CRTSCTS) != 0;
  result.fOutxCtsFlow = cts_rts ? 1 : 0;
  if (cts_rts) {
    result.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (result.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    result.fRtsControl = RTS_CONTROL_ENABLE;
  }
  result.fOutX = (line.c_iflag & IXON) != 0 ? 1 : 0;
  result.fInX = (line.c_iflag & IXOFF) != 0 ? 1 : 0;
  result.XonChar = static_cast<char>(line.c_cc[VSTART]);
  result.XoffChar = static_cast<char>(line.c_cc[VSTOP]);
  *dcb = result;
  return TRUE;
}

BOOL SetCommState(HANDLE handle, const DCB* dcb) {
  int fd = -1;
  platform_linux::HandleState state;
  if (!platform_linux::LoadSerialState(handle, &fd, &state)) return FALSE;
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD refused = CheckBlock(*dcb);
  if (refused != ERROR_SUCCESS) return Fail(refused);
  termios before{};
  platform_linux::LineSnapshot saved{};
  if (tcgetattr(fd, &before) != 0 || !platform_linux::SaveLine(fd, &saved)) {
    platform_linux::SetLastErrorFromErrno();
    return FALSE;
  }
  termios wanted = before;
  ApplyBlock(*dcb, &wanted);
  speed_t code = 0;
  bool standard = FindStandardRate(dcb->BaudRate, &code);
  if (standard) {
    cfsetispeed(&wanted, code);
    cfsetospeed(&wanted, code);
  }
  if (tcsetattr(fd, TCSANOW, &wanted) != 0 ||
      (!standard && !platform_linux::SetBitRate(fd, dcb->BaudRate))) {
    int error = errno;
    platform_linux::RestoreLine(fd, saved);
    platform_linux::SetLastErrorFromErrno(error);
    return FALSE;
  }
  // tcsetattr succeeds when any part of the request was taken: read the line
  // back and refuse (and undo) a request the device did not take whole.
  termios taken{};
  unsigned rate = 0;
  if (tcgetattr(fd, &taken) != 0 || !platform_linux::GetBitRate(fd, &rate)) {
    int error = errno;
    platform_linux::RestoreLine(fd, saved);
    platform_linux::SetLastErrorFromErrno(error);
    return FALSE;
  }
  if ((taken.c_cflag & kFramingBits) != (wanted.c_cflag & kFramingBits) ||
      (taken.c_iflag & kInputFlowBits) != (wanted.c_iflag & kInputFlowBits) ||
      !RateMatches(dcb->BaudRate, rate)) {
    platform_linux::RestoreLine(fd, saved);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD lines = SetModemLines(fd, *dcb);
  if (lines != ERROR_SUCCESS) return Fail(lines);
  const DCB kept = *dcb;
  platform_linux::ChangeHandleState(
      fd, [&kept](platform_linux::HandleState* now) { now->kept = kept; });
  return TRUE;
}

}  // namespace win

namespace platform {

std::size_t StandardBitRates(const win::DWORD** rates) {
  // The rates of the termios table, in its (ascending) order.
  static const auto kRates = [] {
    constexpr std::size_t kCount = sizeof win::kStandardRates / sizeof win::kStandardRates[0];
    std::array<win::DWORD, kCount> list{};
    for (std::size_t i = 0; i < kCount; ++i) list[i] = win::kStandardRates[i].rate;
    return list;
  }();
  *rates = kRates.data();
  return kRates.size();
}

}  // namespace platform
