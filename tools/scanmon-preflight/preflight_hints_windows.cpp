#include "tools/scanmon-preflight/preflight_hints.h"

void PrintDriverSearchHint(std::FILE* stream, const char* base_name) {
  std::fprintf(stream,
               "  hint: %s.dll is looked for in this program's folder, the system folders\n"
               "        (System32, the Windows folder), the current folder, then the folders\n"
               "        of PATH. Install the card's driver, or copy %s.dll next to the program.\n",
               base_name, base_name);
}

void DescribePortDevice(int /*port_number*/, char* device, std::size_t size) {
  if (size > 0) device[0] = '\0';
}

void PrintPortHint(std::FILE* stream, int port_number, const char* /*device*/, win::DWORD code) {
  if (code == win::ERROR_ACCESS_DENIED || code == win::ERROR_SHARING_VIOLATION) {
    std::fprintf(stream,
                 "  hint: COM%d is held by another program (a terminal program, another\n"
                 "        monitor). Close it and try again.\n",
                 port_number);
    return;
  }
  std::fprintf(stream,
               "  hint: this machine has no COM%d. Device Manager lists the ports under\n"
               "        \"Ports (COM & LPT)\"; set laser_serial_port to the sensor's port.\n",
               port_number);
}
