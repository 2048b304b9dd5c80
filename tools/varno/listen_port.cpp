#include "listen_port.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <cstring>

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

}  // namespace

std::string portPath(const std::string& name) {
  return name.find('/') != std::string::npos ? name : "/dev/" + name;
}

bool isNetworkPortName(const std::string& name) {
  return name.find("://") != std::string::npos;
}

int ListenPort::open(const std::string& name, const char*& step) {
  close();
  step = "open";
  const int fd = ::open(portPath(name).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // Whatever the open raised goes down before anything else.
  const int lines = TIOCM_RTS | TIOCM_DTR;
  ioctl(fd, TIOCMBIC, &lines);
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
