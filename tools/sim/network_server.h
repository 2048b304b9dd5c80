// The simulator's line on a TCP port of 127.0.0.1, as a serial device server would put a serial
// line there: raw (bytes pass through) or telnet with COM-PORT-OPTION (RFC 2217: the client sets
// the terminal's baud rate and framing, and is answered as the RFC asks). The server opens the
// terminal like any client of it would, for as long as a client is connected; one client at a
// time, a new one takes over from the one before.
#ifndef VARNO_SIM_NETWORK_SERVER_H
#define VARNO_SIM_NETWORK_SERVER_H

#include <cstdint>
#include <string>
#include <thread>

namespace varno::sim {

class NetworkServer {
 public:
  enum class Protocol { kRaw, kRfc2217 };

  // Listens on 127.0.0.1:`port` (0: a free port) and serves `terminal_path` from its own thread.
  // Throws std::system_error.
  NetworkServer(std::string terminal_path, std::uint16_t port, Protocol protocol);
  ~NetworkServer();  // closes the client's connection and stops
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "tcp://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
  std::string url() const;

 private:
  void serve();

  const std::string terminal_path_;
  const Protocol protocol_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
  std::thread thread_;
};

}  // namespace varno::sim

#endif  // VARNO_SIM_NETWORK_SERVER_H
