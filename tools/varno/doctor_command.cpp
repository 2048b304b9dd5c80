// varno doctor: what can be found out about a port without sending a frame.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/serial.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "field_commands.h"
#include "listen_port.h"

namespace varno::tool {
namespace {

using nlohmann::json;

struct Finding {
  std::string check;  // "exists", "access", ...
  bool ok;            // nothing in the way, as far as this check goes
  std::string text;
};

class Report {
 public:
  void add(const std::string& check, bool ok, const std::string& text) {
    findings_.push_back({check, ok, text});
  }
  bool blocked() const { return blocked_; }
  void block() { blocked_ = true; }
  const std::vector<Finding>& findings() const { return findings_; }

 private:
  std::vector<Finding> findings_;
  bool blocked_ = false;  // something stops the port from being opened
};

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

std::string processName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return name.empty() ? "?" : name;
}

// The processes that have `device` open, as far as /proc lets this user see, and the one holding
// an flock on it (from /proc/locks).
std::vector<std::string> holders(const std::string& device, const struct stat& st) {
  std::set<std::string> pids;
  char lock_line[512];
  if (FILE* locks = std::fopen("/proc/locks", "r")) {
    while (std::fgets(lock_line, sizeof lock_line, locks)) {
      char kind[32], how[32], access[32];
      unsigned long pid = 0, major_n = 0, minor_n = 0, inode = 0;
      if (std::sscanf(lock_line, "%*[^:]: %31s %31s %31s %lu %lx:%lx:%lu", kind, how, access, &pid,
                      &major_n, &minor_n, &inode) == 7 &&
          std::strcmp(kind, "FLOCK") == 0 && inode == st.st_ino) {
        pids.insert(std::to_string(pid));
      }
    }
    std::fclose(locks);
  }
  if (DIR* proc = opendir("/proc")) {
    while (const dirent* entry = readdir(proc)) {
      const std::string pid = entry->d_name;
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string fds = "/proc/" + pid + "/fd";
      DIR* dir = opendir(fds.c_str());
      if (dir == nullptr) continue;
      while (const dirent* fd = readdir(dir)) {
        char target[PATH_MAX];
        const ssize_t n = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == device) {
          pids.insert(pid);
          break;
        }
      }
      closedir(dir);
    }
    closedir(proc);
  }
  std::vector<std::string> out;
  const std::string self = std::to_string(getpid());
  for (const std::string& pid : pids) {
    if (pid != self) out.push_back(pid + " (" + processName(pid) + ")");
  }
  return out;
}

void checkAccess(const std::string& device, const struct stat& st, Report& report) {
  const std::string owner =
      modeText(st.st_mode) + " " + userName(st.st_uid) + ":" + groupName(st.st_gid);
  if (access(device.c_str(), R_OK | W_OK) == 0) {
    report.add("access", true, "this user may open it (" + owner + ")");
    return;
  }
  report.block();
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

void checkDriver(int fd, Report& report) {
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

void checkRates(ListenPort& port, std::uint32_t baud, Report& report) {
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
  if (!wanted_ok) report.block();
}

void checkNetwork(const DoctorOptions& options, Report& report) {
  VarnoLink* link = nullptr;
  const std::int32_t result = varnoLinkOpen(options.port.c_str(), options.baud, &link);
  if (result == VARNO_OK) {
    report.add("network", true, "the server answers and the link opened (nothing was sent)");
    varnoLinkClose(link);
  } else {
    report.block();
    report.add("network", false, varnoErrorText(result));
  }
}

void examine(const DoctorOptions& options, Report& report) {
  if (isNetworkPortName(options.port)) {
    checkNetwork(options, report);
    return;
  }
  const std::string path = portPath(options.port);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    report.block();
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
    report.block();
    report.add("exists", false, path + " leads nowhere (" + std::strerror(errno) + ")");
    return;
  }
  if (!link) report.add("exists", true, device + " exists");
  if (!S_ISCHR(st.st_mode)) {
    report.block();
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
      report.block();
    }
    report.add("device", !(p.flags & VARNO_PORT_VIRTUAL) || p.driver == std::string("pty"), text);
  }

  checkAccess(device, st, report);
  if (report.blocked()) return;

  ListenPort port;
  const char* step = "";
  const int error = port.open(path, step);
  if (error == EBUSY) {
    report.block();
    const std::vector<std::string> who = holders(device, st);
    std::string list;
    for (const std::string& w : who) list += (list.empty() ? "" : ", ") + w;
    report.add("in_use", false,
               "in use" + (list.empty() ? std::string(" (the system does not say by whom)")
                                        : " by process " + list));
    return;
  }
  if (error == ENOTTY) {
    report.block();
    report.add("terminal", false, device + " is not a terminal: not a serial port");
    return;
  }
  if (error != 0) {
    report.block();
    report.add("open", false, std::string(step) + " failed: " + std::strerror(error));
    return;
  }
  report.add("in_use", true, "not in use: no other program holds it");
  report.add("terminal", true, "a terminal");
  checkDriver(port.fd(), report);
  checkRates(port, options.baud, report);
}

}  // namespace

CLI::App* addDoctorCommand(CLI::App& app, DoctorOptions& options) {
  CLI::App* doctor =
      app.add_subcommand("doctor", "Find out what stands between you and a port, sending nothing");
  doctor
      ->add_option("port", options.port,
                   "The port: a path, a name under /dev, or a network "
                   "port name")
      ->required();
  doctor->add_option("--baud", options.baud, "The rate you mean to use")
      ->capture_default_str()
      ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{0xFFFFFFFF}));
  doctor->footer(
      "One line per finding: whether the port exists (and where a link leads), what it is\n"
      "(driver, USB ids, stable name), who may open it (and if not this user, which group or\n"
      "rule would let them), whether it is in use and by which process, whether it is a\n"
      "terminal, whether the driver offers RS-485 mode and low latency, which baud rates it\n"
      "accepts. Nothing is written; the settings tried are put back. For a network port name:\n"
      "whether the server answers and the link opens.\n"
      "--json: {\"port\", \"usable\", \"findings\": [{\"check\", \"ok\", \"text\"}]}.\n"
      "Exit: 0 nothing stands in the way, 3 something does, 2 bad arguments.\n");
  return doctor;
}

int runDoctor(const DoctorOptions& options, const OutputOptions& output) {
  if (options.port.empty()) throw UsageError("the port is empty");
  Report report;
  examine(options, report);
  if (output.json) {
    json findings = json::array();
    for (const Finding& f : report.findings()) {
      findings.push_back({{"check", f.check}, {"ok", f.ok}, {"text", f.text}});
    }
    printLine(jsonText(
        {{"port", options.port}, {"usable", !report.blocked()}, {"findings", findings}}, 2));
  } else {
    for (const Finding& f : report.findings()) {
      printLine(std::string(f.ok ? "ok    " : "NOT   ") + f.check + ": " + f.text);
    }
  }
  return report.blocked() ? kExitCannotOpen : kExitOk;
}

}  // namespace varno::tool
