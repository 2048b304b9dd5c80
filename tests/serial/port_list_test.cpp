// varnoListPorts. On Linux over a fake sysfs tree shaped like a real machine's (a USB adapter, a
// modem-class USB device, a legacy port with a UART and one without); under Wine, whatever
// Wine's SetupAPI reports, which must at least come back whole and well formed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "varno_link.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#endif

namespace varno::test {
namespace {

std::vector<VarnoPortInfo> listAll(std::uint32_t flags) {
  const std::int32_t count = varnoListPorts(nullptr, 0, flags);
  EXPECT_GE(count, 0);
  std::vector<VarnoPortInfo> ports(static_cast<std::size_t>(count > 0 ? count : 0));
  EXPECT_EQ(varnoListPorts(ports.data(), count, flags), count);
  return ports;
}

bool terminated(const char* field, std::size_t size) {
  return std::memchr(field, '\0', size) != nullptr;
}

void expectWellFormed(const VarnoPortInfo& p) {
  EXPECT_TRUE(terminated(p.device, sizeof p.device));
  EXPECT_TRUE(terminated(p.stable_path, sizeof p.stable_path));
  EXPECT_TRUE(terminated(p.driver, sizeof p.driver));
  EXPECT_TRUE(terminated(p.manufacturer, sizeof p.manufacturer));
  EXPECT_TRUE(terminated(p.product, sizeof p.product));
  EXPECT_TRUE(terminated(p.serial_number, sizeof p.serial_number));
  EXPECT_NE(p.device[0], '\0');
  EXPECT_EQ(p.flags & ~(VARNO_PORT_USB | VARNO_PORT_VIRTUAL), 0u);
  if (!(p.flags & VARNO_PORT_USB)) {
    EXPECT_EQ(p.vendor_id, 0);
    EXPECT_EQ(p.product_id, 0);
  }
}

TEST(PortList, ArgumentsAndCapacity) {
  EXPECT_EQ(varnoListPorts(nullptr, 1, 0), VARNO_E_ARGUMENT);
  VarnoPortInfo one{};
  EXPECT_EQ(varnoListPorts(&one, -1, 0), VARNO_E_ARGUMENT);
  for (const std::uint32_t flags : {0u, VARNO_LIST_ALL}) {
    for (const VarnoPortInfo& p : listAll(flags)) {
      expectWellFormed(p);
      // What this machine (or Wine) reports, for the log.
      std::printf("flags %u: %s driver '%s' product '%s' port flags %u\n", flags, p.device,
                  p.driver, p.product, p.flags);
    }
  }
}

#ifndef _WIN32

// A directory standing for "/", as VARNO_TEST_PORT_ROOT lets the listing read it.
class FakeRoot {
 public:
  FakeRoot() {
    char pattern[] = "/tmp/varno-port-root-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("VARNO_TEST_PORT_ROOT", root_.c_str(), 1);
  }
  ~FakeRoot() {
    unsetenv("VARNO_TEST_PORT_ROOT");
    [[maybe_unused]] const int ignored = std::system(("rm -rf '" + root_ + "'").c_str());
  }

  void dir(const std::string& path) {
    std::string at = root_;
    for (std::size_t start = 1; start <= path.size();) {
      const std::size_t end = std::min(path.find('/', start), path.size());
      at += '/';
      at.append(path, start, end - start);
      mkdir(at.c_str(), 0755);
      start = end + 1;
    }
  }
  void file(const std::string& path, const std::string& text) {
    dir(path.substr(0, path.find_last_of('/')));
    std::ofstream(root_ + path) << text << "\n";
  }
  void link(const std::string& path, const std::string& target) {
    dir(path.substr(0, path.find_last_of('/')));
    ASSERT_EQ(symlink(target.c_str(), (root_ + path).c_str()), 0) << path;
  }

  // A terminal in /sys/class/tty whose device directory is `device` (under /sys/devices).
  void terminal(const std::string& name, const std::string& device) {
    const std::string dev = "/sys/devices/" + device;
    dir(dev + "/tty/" + name);
    file(dev + "/tty/" + name + "/dev", "188:0");
    link("/sys/class/tty/" + name, "../../devices/" + device + "/tty/" + name);
    link(dev + "/tty/" + name + "/device", "../../../" + device.substr(device.rfind('/') + 1));
  }

 private:
  std::string root_;
};

const VarnoPortInfo* find(const std::vector<VarnoPortInfo>& ports, const std::string& device) {
  for (const VarnoPortInfo& p : ports) {
    if (device == p.device) return &p;
  }
  return nullptr;
}

TEST(PortList, SysfsTreeOfARealMachine) {
  FakeRoot fake;
  // An FTDI adapter: terminal -> usb-serial port (driver ftdi_sio) -> interface -> USB device.
  const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-2";
  fake.file("/sys/devices/" + usb + "/idVendor", "0403");
  fake.file("/sys/devices/" + usb + "/idProduct", "6001");
  fake.file("/sys/devices/" + usb + "/manufacturer", "FTDI");
  fake.file("/sys/devices/" + usb + "/product", "FT232R USB UART");
  fake.file("/sys/devices/" + usb + "/serial", "A10K3XYZ");
  fake.link("/sys/devices/" + usb + "/1-2:1.0/driver",
            "../../../../../../bus/usb/drivers/ftdi_sio");
  fake.link("/sys/devices/" + usb + "/1-2:1.0/ttyUSB0/driver",
            "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
  fake.link("/sys/devices/" + usb + "/1-2:1.0/ttyUSB0/subsystem",
            "../../../../../../../bus/usb-serial");
  fake.terminal("ttyUSB0", usb + "/1-2:1.0/ttyUSB0");
  fake.link("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0", "../../ttyUSB0");
  // A CDC-ACM device, with a name in UTF-8 and no serial number; a second one sorting after.
  const std::string acm = "pci0000:00/0000:00:14.0/usb1/1-3";
  fake.file("/sys/devices/" + acm + "/idVendor", "2e8a");
  fake.file("/sys/devices/" + acm + "/idProduct", "000a");
  fake.file("/sys/devices/" + acm + "/manufacturer", "Gerät GmbH");
  fake.file("/sys/devices/" + acm + "/product", "Zähler");
  fake.link("/sys/devices/" + acm + "/1-3:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");
  fake.terminal("ttyACM0", acm + "/1-3:1.0");
  fake.terminal("ttyUSB10", usb + "/1-2:1.0/ttyUSB0");
  // Legacy ports as a 6.x kernel shows them: serial-base port and controller devices between
  // the terminal and the device with the real driver. ttyS1 has no UART (type 0).
  for (const char* n : {"0", "1"}) {
    const std::string pnp = std::string("pnp0/00:0") + n;
    fake.link("/sys/devices/" + pnp + "/driver", "../../../bus/pnp/drivers/serial");
    fake.link("/sys/devices/" + pnp + "/00:0" + n + ":0/driver",
              "../../../../bus/serial-base/drivers/ctrl");
    fake.link("/sys/devices/" + pnp + "/00:0" + n + ":0/subsystem", "../../../../bus/serial-base");
    const std::string port = pnp + "/00:0" + n + ":0/00:0" + n + ":0.0";
    fake.link("/sys/devices/" + port + "/driver", "../../../../../bus/serial-base/drivers/port");
    fake.link("/sys/devices/" + port + "/subsystem", "../../../../../bus/serial-base");
    fake.terminal(std::string("ttyS") + n, port);
    fake.file(std::string("/sys/class/tty/ttyS") + n + "/type", n[0] == '0' ? "4" : "0");
  }
  // A virtual console: no device behind it. A pseudo-terminal.
  fake.dir("/sys/devices/virtual/tty/tty1");
  fake.link("/sys/class/tty/tty1", "../../devices/virtual/tty/tty1");
  fake.file("/dev/pts/3", "");
  fake.file("/dev/pts/ptmx", "");

  std::vector<VarnoPortInfo> ports = listAll(0);
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_STREQ(ports[0].device, "/dev/ttyACM0");
  EXPECT_STREQ(ports[1].device, "/dev/ttyS0");
  EXPECT_STREQ(ports[2].device, "/dev/ttyUSB0");
  EXPECT_STREQ(ports[3].device, "/dev/ttyUSB10");

  const VarnoPortInfo& ftdi = ports[2];
  EXPECT_STREQ(ftdi.stable_path, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
  EXPECT_STREQ(ftdi.driver, "ftdi_sio");
  EXPECT_EQ(ftdi.vendor_id, 0x0403);
  EXPECT_EQ(ftdi.product_id, 0x6001);
  EXPECT_STREQ(ftdi.manufacturer, "FTDI");
  EXPECT_STREQ(ftdi.product, "FT232R USB UART");
  EXPECT_STREQ(ftdi.serial_number, "A10K3XYZ");
  EXPECT_EQ(ftdi.flags, VARNO_PORT_USB);

  const VarnoPortInfo& acm0 = ports[0];
  EXPECT_STREQ(acm0.driver, "cdc_acm");
  EXPECT_EQ(acm0.vendor_id, 0x2e8a);
  EXPECT_EQ(acm0.product_id, 0x000a);
  EXPECT_STREQ(acm0.manufacturer, "Gerät GmbH");
  EXPECT_STREQ(acm0.serial_number, "");
  EXPECT_STREQ(acm0.stable_path, "");

  const VarnoPortInfo& s0 = ports[1];
  EXPECT_STREQ(s0.driver, "serial") << "the device's driver, not serial-base's";
  EXPECT_EQ(s0.flags, 0u);
  EXPECT_EQ(s0.vendor_id, 0);
  EXPECT_STREQ(s0.manufacturer, "");

  // With everything: the port without a UART and the pseudo-terminal, as virtual.
  ports = listAll(VARNO_LIST_ALL);
  ASSERT_EQ(ports.size(), 6u);
  ASSERT_NE(find(ports, "/dev/ttyS1"), nullptr);
  EXPECT_EQ(find(ports, "/dev/ttyS1")->flags, VARNO_PORT_VIRTUAL);
  ASSERT_NE(find(ports, "/dev/pts/3"), nullptr);
  EXPECT_EQ(find(ports, "/dev/pts/3")->flags, VARNO_PORT_VIRTUAL);
  EXPECT_EQ(find(ports, "/dev/tty1"), nullptr) << "a console is no serial port";
  for (const VarnoPortInfo& p : ports) expectWellFormed(p);

  // Too little room: the count of all, and only as many filled.
  VarnoPortInfo two[3] = {};
  std::memset(&two[2], 0x5A, sizeof two[2]);
  EXPECT_EQ(varnoListPorts(two, 2, 0), 4);
  EXPECT_STREQ(two[1].device, "/dev/ttyS0");
  EXPECT_EQ(static_cast<unsigned char>(two[2].device[0]), 0x5A) << "written past the room given";
}

TEST(PortList, LongStringsAreCutWholeCharacters) {
  FakeRoot fake;
  const std::string usb = "usb1/1-1";
  fake.file("/sys/devices/" + usb + "/idVendor", "1a86");
  fake.file("/sys/devices/" + usb + "/idProduct", "7523");
  std::string long_name;
  for (int i = 0; i < 100; ++i) long_name += "ä";  // two bytes each: 200 bytes
  fake.file("/sys/devices/" + usb + "/product", long_name);
  fake.terminal("ttyUSB0", usb + "/1-1:1.0");
  const std::vector<VarnoPortInfo> ports = listAll(0);
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(std::strlen(ports[0].product), 126u) << "63 whole characters of 127 bytes' room";
}

#endif

}  // namespace
}  // namespace varno::test
