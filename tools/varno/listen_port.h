// A serial port opened by varno itself, for the commands that must not go through a link: the
// monitor, which listens without ever writing or raising RTS, and the doctor, which looks at a
// port without sending anything. Linux only (termios); the links work everywhere.
//
// A terminal that another program has open is not opened at all: the driver may raise RTS and DTR
// at every open, and a link's RS-485 direction would turn round mid-traffic. Otherwise it is
// opened read-only (nothing can be written through it), held exclusively as the library holds its
// ports (flock and TIOCEXCL, both given up at close), and RTS and DTR are dropped at once: the
// system's open may raise both before any program can stop it. Its settings are restored at
// close, except RTS and DTR, which stay low.
#ifndef VARNO_TOOL_LISTEN_PORT_H
#define VARNO_TOOL_LISTEN_PORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace varno::tool {

// "/dev/ttyUSB0" for "ttyUSB0"; a name with a '/' as it is.
std::string portPath(const std::string& name);
// A network port name ("tcp://...", "rfc2217://..."), which only the library opens.
bool isNetworkPortName(const std::string& name);

// A process that has a terminal open, named as fuser and lsof name it.
struct PortHolder {
  int pid;
  std::string command;  // from /proc/PID/comm
};

// The other processes that have the terminal at `path` open: those whose descriptors in /proc lead
// to the same device (st_rdev, whatever the name), whether or not they lock it, and those holding
// an flock on it in /proc/locks (which names other users' processes too, whose descriptors only
// root may see). A process that has the master side of the pseudo-terminal open as well is the
// line's other end (the device, or varno-sim), not a user of the port, and is left out.
std::vector<PortHolder> portHolders(const std::string& path);
// "1234 (cat), 5678 (screen)".
std::string holdersText(const std::vector<PortHolder>& holders);

class ListenPort {
 public:
  ListenPort() = default;
  ~ListenPort() { close(); }
  ListenPort(const ListenPort&) = delete;
  ListenPort& operator=(const ListenPort&) = delete;

  // 0, or the errno of the step that failed (EBUSY: in use, by holders() where they are known);
  // `step` names it.
  int open(const std::string& name, const char*& step);
  const std::vector<PortHolder>& holders() const { return holders_; }
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
  std::vector<PortHolder> holders_;
  bool saved_ = false;
  bool saved_serial_ = false;
  unsigned char termios_[64] = {};  // the kernel's termios2, as read at open
  unsigned char serial_[128] = {};  // its serial_struct
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_LISTEN_PORT_H
