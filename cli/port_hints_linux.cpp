#include <grp.h>
#include <sys/stat.h>

#include "cli/port_hints.h"
#include "platform/linux/port_names_linux.h"

void DescribePortDevice(const char* name, char* device, std::size_t size) {
  if (size == 0) return;
  bool is_port_name = false;
  if (!platform_linux::ResolveDeviceName(name, device, size, &is_port_name)) device[0] = '\0';
}

void FormatPortHint(char* out, std::size_t size, const char* name, const char* device,
                    win::DWORD code) {
  if (code == win::ERROR_ACCESS_DENIED) {
    struct stat info {};
    const group* owner = ::stat(device, &info) == 0 ? ::getgrgid(info.st_gid) : nullptr;
    const char* group_name = owner != nullptr ? owner->gr_name : "dialout";
    std::snprintf(out, size,
                  "  hint: your user may not open %s. Serial devices belong to the group\n"
                  "        '%s': add your user to it (sudo usermod -aG %s $USER), then log\n"
                  "        in again.\n",
                  device, group_name, group_name);
    return;
  }
  if (code == win::ERROR_SHARING_VIOLATION) {
    std::snprintf(out, size,
                  "  hint: another program holds %s (a terminal program, ModemManager...).\n"
                  "        Close it and try again.\n",
                  device);
    return;
  }
  unsigned number = platform_linux::PortNumberOfName(name);
  if (number == 0) {
    std::snprintf(out, size,
                  "  hint: %s is a device path; check that the adapter is plugged in and\n"
                  "        see which serial devices there are: ls /dev/ttyUSB* /dev/ttyS*\n",
                  name);
    return;
  }
  std::snprintf(out, size,
                "  hint: COM%u stands for %s. Bind COM numbers to the devices of this machine\n"
                "        with the variable %s (\"COM%u=/dev/ttyUSB0;COM4=/dev/ttyS1\") or with\n"
                "        lines COM%u=/dev/ttyUSB0 in ~/.config/scanmon/comports or\n"
                "        /etc/scanmon/comports; without a binding COM<n> is /dev/ttyS<n-1>.\n"
                "        See docs/serial.md.\n",
                number, device[0] != '\0' ? device : "no device", platform_linux::kComportsVariable,
                number, number);
}
