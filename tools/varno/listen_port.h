// A serial port opened by varno itself, for the commands that must not go through a link: the
// monitor, which listens without ever writing or raising RTS, and the doctor, which looks at a
// port without sending anything. Linux only (termios); the links work everywhere.
//
// The terminal is opened read-only (nothing can be written through it), held exclusively as the
// library holds its ports (flock and TIOCEXCL, both given up at close), and RTS and DTR are dropped
// at once: the system's open may raise both on a port whose driver does so at every open, before
// any program can stop it. Its settings are restored at close, except RTS and DTR, which stay low.
#ifndef VARNO_TOOL_LISTEN_PORT_H
#define VARNO_TOOL_LISTEN_PORT_H

#include <cstdint>
#include <string>

namespace varno::tool {

// "/dev/ttyUSB0" for "ttyUSB0"; a name with a '/' as it is.
std::string portPath(const std::string& name);
// A network port name ("tcp://...", "rfc2217://..."), which only the library opens.
bool isNetworkPortName(const std::string& name);

class ListenPort {
 public:
  ListenPort() = default;
  ~ListenPort() { close(); }
  ListenPort(const ListenPort&) = delete;
  ListenPort& operator=(const ListenPort&) = delete;

  // 0, or the errno of the step that failed (EBUSY: in use); `step` names it.
  int open(const std::string& name, const char*& step);
  // Raw 8 data bits, no parity, one stop bit at `baud` (any rate), receiver on, no flow control,
  // low latency where the driver offers it. False when the driver refused; errno says why.
  bool listenAt(std::uint32_t baud);
  // The rate the driver reports after being asked for `baud` (0 when it refused outright).
  std::uint32_t tryRate(std::uint32_t baud);
  void discardInput();
  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
  bool saved_ = false;
  bool saved_serial_ = false;
  unsigned char termios_[64] = {};  // the kernel's termios2, as read at open
  unsigned char serial_[128] = {};  // its serial_struct
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_LISTEN_PORT_H
