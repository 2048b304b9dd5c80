// The few socket operations the network port is made of: a non-blocking TCP connection whose
// waits an abort event can end from any thread. One implementation per platform (socket_linux.cpp,
// socket_win32.cpp), chosen at build time.
#ifndef VARNO_SERIAL_SOCKET_H
#define VARNO_SERIAL_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace varno {

// One address to connect to, as the system's address structure holds it.
struct SocketAddress {
  int family = 0;
  std::size_t length = 0;
  alignas(8) unsigned char bytes[128] = {};
};

enum class LookupResult {
  kFound,
  kNotFound,  // no such host, or not a literal address where only one was asked for
  kFailed,    // the system could not look it up (out of memory, no resolver)
};

// The addresses of `host` for a TCP connection to `port`, in the system's order of preference.
// With `literal_only`, only a written-out IPv4 or IPv6 address is taken, without asking anyone.
// Blocks for as long as the system's resolver takes.
LookupResult lookUpHost(const std::string& host, std::uint16_t port, bool literal_only,
                        std::vector<SocketAddress>& addresses);

enum class IoStatus {
  kDone,        // did what it could (sent or received at least one byte, or connected)
  kWouldBlock,  // nothing now: wait and try again
  kClosed,      // the other end closed the connection in order
  kFailed,      // the connection failed (reset, unreachable, refused, ...)
};

// What a wait found (bits); 0: the time ran out.
inline constexpr unsigned kSocketReadable = 1;  // data, an end of stream or an error to collect
inline constexpr unsigned kSocketWritable = 2;  // room to send, or a connect that has ended
inline constexpr unsigned kSocketAborted = 4;   // abort() was called (reported alone)

class Socket {
 public:
  virtual ~Socket() = default;

  // Creates the abort event. False when the system has none to give.
  virtual bool createAbortEvent() = 0;
  // Starts connecting to `address`: kDone (connected at once), kWouldBlock (under way: wait for
  // kSocketWritable, then ask connectResult) or kFailed. Closes any earlier connection first.
  virtual IoStatus startConnect(const SocketAddress& address) = 0;
  // After the wait: whether the connect succeeded.
  virtual bool connectResult() = 0;
  // No delay for small segments, keep-alive probes on an idle connection. Best effort.
  virtual void tune() = 0;

  // Never block.
  virtual IoStatus send(const std::uint8_t* data, std::size_t size, std::size_t& sent) = 0;
  virtual IoStatus receive(std::uint8_t* buffer, std::size_t size, std::size_t& received) = 0;

  // Waits until the connection is ready for what `want` asks (kSocketReadable, kSocketWritable),
  // abort() is called, or `timeout_ms` passes (0: a look without waiting). Returns what it found;
  // once aborted, always kSocketAborted at once.
  virtual unsigned wait(unsigned want, std::uint32_t timeout_ms) = 0;

  // Ends every wait in progress and every later one. Any thread, any time, lock-free.
  virtual void abort() = 0;
  // Closes the connection (the abort event lives as long as the object).
  virtual void close() = 0;
};

// A socket of this platform, not yet connected; nullptr when out of memory.
std::unique_ptr<Socket> makeSocket();

}  // namespace varno

#endif  // VARNO_SERIAL_SOCKET_H
