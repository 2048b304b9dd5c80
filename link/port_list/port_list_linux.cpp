// The ports of a Linux machine, from sysfs: nothing is opened and no program is run.
//
// /sys/class/tty/NAME/device leads to the device behind each terminal (pseudo-terminals and
// virtual consoles have none). The driver is the first one found on the way up from there (on
// newer kernels the port and its controller sit on the "serial-base" bus, between the terminal
// and the device that has the real driver). A USB adapter's ids and strings are in the first
// directory up the tree that has idVendor and idProduct. A legacy port's `type` attribute is the
// UART type that TIOCGSERIAL reports: 0 (unknown) means no UART answered at that address.
//
// For tests, VARNO_TEST_PORT_ROOT names a directory that stands for "/": its sys/class/tty,
// dev/serial/by-id and dev/pts are read instead of the machine's.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "port_list/port_list.h"

namespace varno {
namespace {

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The first line of a sysfs attribute, without its line feed; "" when there is none.
std::string attribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Where a symbolic link points, as the last part of its target ("ftdi_sio"); "" when not a link.
std::string linkName(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (length <= 0) return "";
  return baseName(std::string(buffer, static_cast<std::size_t>(length)));
}

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return "";
  return buffer;
}

std::uint16_t hexId(const std::string& text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  return end != text.c_str() && value <= 0xFFFF ? static_cast<std::uint16_t>(value) : 0;
}

struct Found {
  std::string device, stable_path, driver, manufacturer, product, serial_number;
  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint32_t flags = 0;
};

VarnoPortInfo toInfo(const Found& f) {
  VarnoPortInfo info{};
  copyField(info.device, sizeof info.device, f.device);
  copyField(info.stable_path, sizeof info.stable_path, f.stable_path);
  copyField(info.driver, sizeof info.driver, f.driver);
  copyField(info.manufacturer, sizeof info.manufacturer, f.manufacturer);
  copyField(info.product, sizeof info.product, f.product);
  copyField(info.serial_number, sizeof info.serial_number, f.serial_number);
  info.vendor_id = f.vendor_id;
  info.product_id = f.product_id;
  info.flags = f.flags;
  return info;
}

// The terminal behind a device, from the device's own directory up to the sysfs root.
void describeDevice(const std::string& sys_devices, std::string device, Found& found) {
  for (std::string dir = device; dir.size() > sys_devices.size() && dir != "/"; dir = parent(dir)) {
    if (found.driver.empty() && exists(dir + "/driver")) {
      const std::string bus = linkName(dir + "/subsystem");
      // The serial-base port and controller devices' drivers ("port", "ctrl") say nothing.
      if (bus != "serial-base") found.driver = linkName(dir + "/driver");
    }
    if (exists(dir + "/idVendor") && exists(dir + "/idProduct")) {
      found.flags |= VARNO_PORT_USB;
      found.vendor_id = hexId(attribute(dir + "/idVendor"));
      found.product_id = hexId(attribute(dir + "/idProduct"));
      found.manufacturer = attribute(dir + "/manufacturer");
      found.product = attribute(dir + "/product");
      found.serial_number = attribute(dir + "/serial");
      break;
    }
  }
}

}  // namespace

std::vector<VarnoPortInfo> listPorts(std::uint32_t flags) {
  const char* test_root = std::getenv("VARNO_TEST_PORT_ROOT");
  const std::string root = test_root != nullptr ? test_root : "";
  const std::string sys_devices = resolved(root + "/sys/devices");
  const std::string by_id = root + "/dev/serial/by-id";

  // The stable names, by the terminal they lead to.
  std::vector<std::pair<std::string, std::string>> stable;  // (terminal name, link)
  for (const std::string& name : entries(by_id)) {
    const std::string target = linkName(by_id + "/" + name);
    if (!target.empty()) stable.emplace_back(target, "/dev/serial/by-id/" + name);
  }
  std::sort(stable.begin(), stable.end());

  std::vector<Found> found;
  const std::string class_tty = root + "/sys/class/tty";
  for (const std::string& name : entries(class_tty)) {
    const std::string entry = class_tty + "/" + name;
    if (!exists(entry + "/device")) continue;  // a virtual console, a pseudo-terminal master...
    Found port;
    port.device = "/dev/" + name;
    const std::string device = resolved(entry + "/device");
    if (!device.empty()) describeDevice(sys_devices, device, port);
    const std::string type = attribute(entry + "/type");
    if (type == "0") port.flags |= VARNO_PORT_VIRTUAL;  // a legacy port with no UART behind it
    for (const auto& [terminal, link] : stable) {
      if (terminal == name) {
        port.stable_path = link;
        break;
      }
    }
    found.push_back(port);
  }
  if (flags & VARNO_LIST_ALL) {
    for (const std::string& name : entries(root + "/dev/pts")) {
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;  // ptmx
      Found port;
      port.device = "/dev/pts/" + name;
      port.driver = "pty";
      port.flags = VARNO_PORT_VIRTUAL;
      found.push_back(port);
    }
  }

  std::vector<VarnoPortInfo> ports;
  for (const Found& port : found) {
    if ((port.flags & VARNO_PORT_VIRTUAL) && !(flags & VARNO_LIST_ALL)) continue;
    ports.push_back(toInfo(port));
  }
  std::sort(ports.begin(), ports.end(), [](const VarnoPortInfo& a, const VarnoPortInfo& b) {
    return naturalLess(a.device, b.device);
  });
  return ports;
}

}  // namespace varno
