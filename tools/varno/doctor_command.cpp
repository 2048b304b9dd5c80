// varno doctor: what can be found out about a port without sending a frame.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/serial.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "listen_port.h"

namespace varno::tool {
namespace {

std::string resolvedPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : path;
}

std::string modeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
  const char* letters = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) text += (mode & (0400 >> i)) ? letters[i] : '-';
  return text;
}

std::string userName(uid_t uid) {
  const passwd* p = getpwuid(uid);
  return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

// Whether the user belongs to `gid` by the group database (what the next login gives), and
// whether this process has it now.
bool inGroupDatabase(gid_t gid) {
  const passwd* p = getpwuid(geteuid());
  if (p == nullptr) return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (getgrouplist(p->pw_name, p->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(p->pw_name, p->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool inGroupNow(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = getgroups(count, groups.data());
  if (got < 0) return false;
  groups.resize(static_cast<std::size_t>(got));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

void checkAccess(const std::string& device, const struct stat& st, DoctorReport& report) {
  const std::string owner =
      modeText(st.st_mode) + " " + userName(st.st_uid) + ":" + groupName(st.st_gid);
  if (access(device.c_str(), R_OK | W_OK) == 0) {
    report.add("access", true, "this user may open it (" + owner + ")");
    return;
  }
  report.blocked = true;
  const std::string user = userName(geteuid());
  const std::string group = groupName(st.st_gid);
  std::string hint;
  if ((st.st_mode & 060) == 060) {
    if (inGroupNow(st.st_gid)) {
      hint = "this user is in group " + group +
             ", yet the system refuses (an ACL or a security "
             "module?)";
    } else if (inGroupDatabase(st.st_gid)) {
      hint = "this user is in group " + group +
             ", but this session is not yet: log in again (or run 'newgrp " + group + "')";
    } else {
      hint = "members of group " + group + " may open it: 'sudo usermod -aG " + group + " " + user +
             "', then log in again";
    }
  } else {
    hint =
        "only its owner may open it: a udev rule can give it a group, e.g. "
        "SUBSYSTEM==\"tty\", ..., GROUP=\"dialout\", MODE=\"0660\"";
  }
  report.add("access", false, "this user may not open it (" + owner + "); " + hint);
}

void checkDriver(int fd, DoctorReport& report) {
  serial_rs485 rs485{};
  if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
    const bool on = rs485.flags & SER_RS485_ENABLED;
    report.add("rs485", true,
               std::string("the driver offers RS-485 mode (") + (on ? "on" : "off") +
                   "): RTS can follow the transmitter in the driver");
  } else {
    report.add("rs485", true,
               "the driver offers no RS-485 mode: RTS is raised and dropped around each write "
               "by the library (slower to turn the line round)");
  }
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    const bool low = serial.flags & ASYNC_LOW_LATENCY;
    report.add("low_latency", true,
               std::string("low latency ") + (low ? "on" : "off") +
                   " (the library asks for it while a link is open)");
  } else {
    report.add("low_latency", true, "the driver has no low-latency setting");
  }
}

void checkRates(ListenPort& port, std::uint32_t baud, DoctorReport& report) {
  std::vector<std::uint32_t> rates = {1200,  2400,   4800,   9600,   19200, 38400,
                                      57600, 115200, 230400, 460800, 921600};
  if (std::find(rates.begin(), rates.end(), baud) == rates.end()) rates.push_back(baud);
  std::sort(rates.begin(), rates.end());
  std::string accepted, refused;
  bool wanted_ok = false;
  for (const std::uint32_t rate : rates) {
    const std::uint32_t got = port.tryRate(rate);
    // Within 2% is what the other end of a UART link tolerates.
    const bool ok = got != 0 && (got > rate ? got - rate : rate - got) * 50 <= rate;
    std::string& list = ok ? accepted : refused;
    list += (list.empty() ? "" : ", ") + std::to_string(rate);
    if (ok && got != rate) list += " (as " + std::to_string(got) + ")";
    if (rate == baud) wanted_ok = ok;
  }
  report.add("baud_rates", wanted_ok,
             "accepted: " + (accepted.empty() ? std::string("none") : accepted) +
                 (refused.empty() ? "" : "; refused: " + refused));
  if (!wanted_ok) report.blocked = true;
}

void checkNetwork(const std::string& name, std::uint32_t baud, DoctorReport& report) {
  VarnoLink* link = nullptr;
  const std::int32_t result = varnoLinkOpen(name.c_str(), baud, &link);
  if (result == VARNO_OK) {
    report.add("network", true, "the server answers and the link opened (nothing was sent)");
    varnoLinkClose(link);
  } else {
    report.blocked = true;
    report.add("network", false, varnoErrorText(result));
  }
}

void examine(const std::string& name, std::uint32_t baud, DoctorReport& report) {
  if (isNetworkPortName(name)) {
    checkNetwork(name, baud, report);
    return;
  }
  const std::string path = portPath(name);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    report.blocked = true;
    std::string known;
    VarnoPortInfo ports[16];
    const std::int32_t count = varnoListPorts(ports, 16, 0);
    for (std::int32_t i = 0; i < std::min(count, 16); ++i) {
      known += (known.empty() ? "" : ", ") + std::string(ports[i].device);
    }
    report.add("exists", false,
               path + " does not exist" +
                   (known.empty() ? "; the machine has no serial ports that 'varno ports' finds"
                                  : "; the machine's ports: " + known));
    return;
  }
  const std::string device = resolvedPath(path);
  const bool link = S_ISLNK(st.st_mode);
  if (link) report.add("exists", true, path + " is a link to " + device);
  if (stat(path.c_str(), &st) != 0) {
    report.blocked = true;
    report.add("exists", false, path + " leads nowhere (" + std::strerror(errno) + ")");
    return;
  }
  if (!link) report.add("exists", true, device + " exists");
  if (!S_ISCHR(st.st_mode)) {
    report.blocked = true;
    report.add("terminal", false, device + " is not a device: not a serial port");
    return;
  }
  // What the listing knows of it: driver, USB ids, the stable name.
  std::vector<VarnoPortInfo> ports(
      static_cast<std::size_t>(std::max(varnoListPorts(nullptr, 0, VARNO_LIST_ALL), 0)));
  const std::int32_t count =
      varnoListPorts(ports.data(), static_cast<std::int32_t>(ports.size()), VARNO_LIST_ALL);
  for (std::int32_t i = 0;
       i < std::min<std::int32_t>(count, static_cast<std::int32_t>(ports.size())); ++i) {
    const VarnoPortInfo& p = ports[static_cast<std::size_t>(i)];
    if (device != p.device) continue;
    std::string text = std::string("driver ") + (p.driver[0] ? p.driver : "unknown");
    if (p.flags & VARNO_PORT_USB) {
      char ids[16];
      std::snprintf(ids, sizeof ids, "%04x:%04x", p.vendor_id, p.product_id);
      text += std::string(", USB ") + ids + " " + p.manufacturer + " " + p.product;
      if (p.serial_number[0]) text += ", serial " + std::string(p.serial_number);
    }
    if (p.stable_path[0]) text += "; stable name " + std::string(p.stable_path);
    if ((p.flags & VARNO_PORT_VIRTUAL) && std::strncmp(p.device, "/dev/pts/", 9) != 0) {
      text += "; a legacy port with no UART behind it";
      report.blocked = true;
    }
    report.add("device", !(p.flags & VARNO_PORT_VIRTUAL) || p.driver == std::string("pty"), text);
  }

  checkAccess(device, st, report);
  if (report.blocked) return;

  ListenPort port;
  const char* step = "";
  const int error = port.open(path, step);
  if (error == EBUSY) {
    // Nothing is tried on a port that another program is using: not even its settings.
    report.blocked = true;
    report.holders = port.holders();
    report.add("in_use", false,
               report.holders.empty() ? std::string("in use (the system does not say by whom)")
                                      : "in use by process " + holdersText(report.holders));
    return;
  }
  if (error == ENOTTY) {
    report.blocked = true;
    report.add("terminal", false, device + " is not a terminal: not a serial port");
    return;
  }
  if (error != 0) {
    report.blocked = true;
    report.add("open", false, std::string(step) + " failed: " + std::strerror(error));
    return;
  }
  report.add("in_use", true,
             geteuid() == 0 ? "not in use: no other program holds it"
                            : "not in use by any program this user may see (another user's "
                              "programs show only to root)");
  report.add("terminal", true, "a terminal");
  checkDriver(port.fd(), report);
  checkRates(port, baud, report);
}

}  // namespace

CLI::App* addDoctorCommand(CLI::App& app, DoctorOptions& options) {
  CLI::App* doctor =
      app.add_subcommand("doctor", "Find out what stands between you and a port, sending nothing");
  doctor
      ->add_option("--port", options.port,
                   "The port: a path, a name under /dev, or a network port name")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  // The port as the doctor first took it, which scripts may still give.
  doctor->add_option("port", options.positional_port, "The same as --port");
  doctor->add_option("--baud", options.baud, "The rate you mean to use")
      ->capture_default_str()
      ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{0xFFFFFFFF}));
  doctor->footer(
      "One line per finding: whether the port exists (and where a link leads), what it is\n"
      "(driver, USB ids, stable name), who may open it (and if not this user, which group or\n"
      "rule would let them), whether it is in use and by which process, whether it is a\n"
      "terminal, whether the driver offers RS-485 mode and low latency, which baud rates it\n"
      "accepts. Nothing is written; the settings tried are put back. A port that another\n"
      "program has open (locked or not, found in /proc) is neither opened nor probed: its\n"
      "holders are named instead. For a network port name: whether the server answers and\n"
      "the link opens. The port may also be given on its own: \"varno doctor ttyUSB0\".\n"
      "--json: {\"port\", \"usable\", \"holders\": [{\"pid\", \"command\"}], \"findings\":\n"
      "[{\"check\", \"ok\", \"text\"}]}.\n"
      "Exit: 0 nothing stands in the way, 3 something does (in use: \"holders\" names the\n"
      "programs), 2 bad arguments.\n");
  return doctor;
}

int runDoctor(const DoctorOptions& options, Reporter& reporter) {
  const std::optional<std::string>& port = options.port;
  const std::optional<std::string>& positional = options.positional_port;
  if (port && positional && *port != *positional) {
    throw UsageError("--port " + *port + " and the port " + *positional + " differ");
  }
  if (!port && !positional) throw UsageError("--port is required (see --help)");
  const std::string& name = port ? *port : *positional;
  if (name.empty()) throw UsageError("the port is empty");
  DoctorReport report;
  examine(name, options.baud, report);
  reporter.doctorReport(name, report);
  return report.blocked ? kExitCannotOpen : kExitOk;
}

}  // namespace varno::tool
