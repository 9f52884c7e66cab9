#include <grp.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/linux/port_names_linux.h"
#include "tools/scanmon-preflight/preflight_hints.h"

void PrintDriverSearchHint(std::FILE* stream, const char* base_name) {
  const char* library_path = std::getenv("LD_LIBRARY_PATH");
  std::fprintf(stream,
               "  hint: lib%s.so is looked for in LD_LIBRARY_PATH (%s), then in this\n"
               "        program's RUNPATH (run from the build folder: %s; installed\n"
               "        programs have none), then in the system's library folders\n"
               "        (ld.so.cache, /lib, /usr/lib). Put the driver in one of them, or\n"
               "        name its folder in LD_LIBRARY_PATH.\n",
               base_name, library_path != nullptr ? library_path : "not set",
               SCANMON_PREFLIGHT_RUNPATH);
}

void DescribePortDevice(int port_number, char* device, std::size_t size) {
  if (size == 0) return;
  device[0] = '\0';
  char name[24];
  std::snprintf(name, sizeof name, "COM%d", port_number);
  bool is_port_name = false;
  if (!platform_linux::ResolveDeviceName(name, device, size, &is_port_name)) device[0] = '\0';
}

void PrintPortHint(std::FILE* stream, int port_number, const char* device, win::DWORD code) {
  if (code == win::ERROR_ACCESS_DENIED) {
    struct stat info {};
    const group* owner = ::stat(device, &info) == 0 ? ::getgrgid(info.st_gid) : nullptr;
    const char* group_name = owner != nullptr ? owner->gr_name : "dialout";
    std::fprintf(stream,
                 "  hint: your user may not open %s. Serial devices belong to the group\n"
                 "        '%s': add your user to it (sudo usermod -aG %s $USER), then log\n"
                 "        in again.\n",
                 device, group_name, group_name);
    return;
  }
  if (code == win::ERROR_SHARING_VIOLATION) {
    std::fprintf(stream,
                 "  hint: another program holds %s (a terminal program, ModemManager...).\n"
                 "        Close it and try again.\n",
                 device);
    return;
  }
  std::fprintf(stream,
               "  hint: COM%d stands for %s. Bind COM numbers to the devices of this machine\n"
               "        with the variable %s (\"COM%d=/dev/ttyUSB0;COM4=/dev/ttyS1\") or with\n"
               "        lines COM%d=/dev/ttyUSB0 in ~/.config/scanmon/comports or\n"
               "        /etc/scanmon/comports; without a binding COM<n> is /dev/ttyS<n-1>.\n"
               "        See docs/serial.md.\n",
               port_number, device[0] != '\0' ? device : "no device",
               platform_linux::kComportsVariable, port_number, port_number);
}
