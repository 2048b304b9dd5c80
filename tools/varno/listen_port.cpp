#include "listen_port.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

// The kernel's termios2 (which carries the rate as a number): <termios.h> does not declare it, and
// TCGETS2/TCSETS2 name it by this name.
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

namespace varno::tool {
namespace {

using Termios2 = ::termios2;
constexpr tcflag_t kOtherRate = 0010000;  // BOTHER
constexpr int kInputShift = 16;           // IBSHIFT
static_assert(sizeof(Termios2) <= 64);
static_assert(sizeof(serial_struct) <= 128);

constexpr unsigned kPtySlaveMajor = 136;  // UNIX98_PTY_SLAVE_MAJOR: /dev/pts/N is minor N
const dev_t kPtyMaster = makedev(5, 2);   // /dev/ptmx

// The device a descriptor in /proc leads to, or 0. Cached attributes only: a descriptor on a
// network file system whose server is gone must not hang the search.
dev_t descriptorDevice(const std::string& link) {
  struct statx st {};
  if (statx(AT_FDCWD, link.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0 ||
      !S_ISCHR(st.stx_mode)) {
    return 0;
  }
  return makedev(st.stx_rdev_major, st.stx_rdev_minor);
}

// The pseudo-terminal a master descriptor serves (its fdinfo's tty-index), or -1.
long masterIndex(const std::string& fdinfo) {
  std::ifstream in(fdinfo);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("tty-index:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10);
  }
  return -1;
}

// False for a device that sysfs places in another class than tty (/dev/null, which every
// process has open). Pseudo-terminals have no entry there.
bool mayBeTerminal(dev_t device) {
  char link[PATH_MAX];
  const std::string entry = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                            std::to_string(minor(device)) + "/subsystem";
  const ssize_t n = readlink(entry.c_str(), link, sizeof link - 1);
  if (n <= 0) return true;
  const std::string subsystem(link, static_cast<std::size_t>(n));
  return subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0;
}

std::string commandOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name.empty() ? "?" : name;
}

}  // namespace

std::vector<PortHolder> portHolders(const std::string& path) {
  struct stat device {};
  if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode) ||
      !mayBeTerminal(device.st_rdev)) {
    return {};
  }
  const long pty_index =
      major(device.st_rdev) == kPtySlaveMajor ? static_cast<long>(minor(device.st_rdev)) : -1;
  const int self = getpid();
  std::map<int, bool> pids;  // each holder, and whether it is the line's other end
  if (DIR* proc = opendir("/proc")) {
    while (const dirent* entry = readdir(proc)) {
      const std::string pid = entry->d_name;
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string fds = "/proc/" + pid + "/fd/";
      DIR* dir = opendir(fds.c_str());
      if (dir == nullptr) continue;  // gone, or another user's (then perhaps in /proc/locks)
      bool holds = false, other_end = false;
      while (const dirent* fd = readdir(dir)) {
        if (fd->d_name[0] == '.') continue;
        const dev_t rdev = descriptorDevice(fds + fd->d_name);
        if (rdev == 0) continue;
        holds = holds || rdev == device.st_rdev;
        other_end =
            other_end || (pty_index >= 0 && rdev == kPtyMaster &&
                          masterIndex("/proc/" + pid + "/fdinfo/" + fd->d_name) == pty_index);
      }
      closedir(dir);
      const int number = std::atoi(pid.c_str());
      if (holds && number != self) pids[number] = other_end;
    }
    closedir(proc);
  }
  // "1: FLOCK  ADVISORY  WRITE 1234 00:05:89 0 EOF": the file system's device and the inode.
  if (FILE* locks = std::fopen("/proc/locks", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, locks)) {
      char kind[32];
      int pid = 0;
      unsigned dev_major = 0, dev_minor = 0;
      unsigned long inode = 0;
      if (std::sscanf(line, "%*[^:]: %31s %*s %*s %d %x:%x:%lu", kind, &pid, &dev_major, &dev_minor,
                      &inode) == 5 &&
          std::strcmp(kind, "FLOCK") == 0 && inode == device.st_ino &&
          makedev(dev_major, dev_minor) == device.st_dev && pid != self) {
        pids.emplace(pid, false);
      }
    }
    std::fclose(locks);
  }
  std::vector<PortHolder> out;
  for (const auto& [pid, other_end] : pids) {
    if (!other_end) out.push_back({pid, commandOf(pid)});
  }
  return out;
}

std::string holdersText(const std::vector<PortHolder>& holders) {
  std::string text;
  for (const PortHolder& h : holders) {
    text += (text.empty() ? "" : ", ") + std::to_string(h.pid) + " (" + h.command + ")";
  }
  return text;
}

std::string portPath(const std::string& name) {
  return name.find('/') != std::string::npos ? name : "/dev/" + name;
}

bool isNetworkPortName(const std::string& name) {
  return name.find("://") != std::string::npos;
}

int ListenPort::open(const std::string& name, const char*& step) {
  close();
  const std::string path = portPath(name);
  step = "/proc";
  holders_ = portHolders(path);
  if (!holders_.empty()) return EBUSY;
  step = "open";
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!isatty(fd)) {
    ::close(fd);
    step = "isatty";
    return ENOTTY;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    step = "flock";
    return error;
  }
  // Whatever the open raised goes down before anything else, now that the port is this
  // program's alone.
  const int lines = TIOCM_RTS | TIOCM_DTR;
  ioctl(fd, TIOCMBIC, &lines);
  ioctl(fd, TIOCEXCL);
  Termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    const int error = errno;
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    step = "TCGETS2";
    return error;
  }
  std::memcpy(termios_, &t, sizeof t);
  saved_ = true;
  serial_struct s{};
  saved_serial_ = ioctl(fd, TIOCGSERIAL, &s) == 0;
  if (saved_serial_) std::memcpy(serial_, &s, sizeof s);
  fd_ = fd;
  return 0;
}

bool ListenPort::listenAt(std::uint32_t baud) {
  if (fd_ < 0) return false;
  Termios2 t{};
  std::memcpy(&t, termios_, sizeof t);
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD |
                                      (CBAUD << kInputShift));
  t.c_cflag |= CS8 | CLOCAL | CREAD | kOtherRate;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  t.c_ispeed = t.c_ospeed = baud;
  if (ioctl(fd_, TCSETS2, &t) != 0) return false;
  if (saved_serial_) {
    // USB adapters may hold bytes back for 16 ms, longer than the silence that cuts a frame.
    serial_struct s{};
    std::memcpy(&s, serial_, sizeof s);
    s.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd_, TIOCSSERIAL, &s);
  }
  const int lines = TIOCM_RTS | TIOCM_DTR;
  ioctl(fd_, TIOCMBIC, &lines);
  return true;
}

std::uint32_t ListenPort::tryRate(std::uint32_t baud) {
  if (fd_ < 0 || !listenAt(baud)) return 0;
  Termios2 t{};
  if (ioctl(fd_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

void ListenPort::discardInput() {
  if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
}

void ListenPort::close() {
  if (fd_ < 0) return;
  if (saved_) ioctl(fd_, TCSETS2, termios_);
  if (saved_serial_) ioctl(fd_, TIOCSSERIAL, serial_);
  // The exclusive flag belongs to the terminal, not to this descriptor: left set, it would keep
  // every other user out for as long as anything (varno-sim, a getty) holds the terminal open.
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  saved_ = saved_serial_ = false;
}

}  // namespace varno::tool
