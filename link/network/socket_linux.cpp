// TCP connections with POSIX sockets: non-blocking, waited for with poll() beside an eventfd
// that aborts the wait.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "network/socket.h"

namespace varno {
namespace {

// Keep-alive: a connection whose other end has vanished without a word is found out within
// about 10 + 3 * 3 seconds of silence.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 3;
constexpr int kKeepAliveCount = 3;

template <typename F>
auto noEintr(F call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class PosixSocket final : public Socket {
 public:
  ~PosixSocket() override {
    close();
    if (abort_fd_ >= 0) ::close(abort_fd_);
  }

  bool createAbortEvent() override {
    if (abort_fd_ < 0) abort_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    abort_signal_fd_.store(abort_fd_);
    // An abort that came before the event existed still counts.
    if (aborted_.load()) abort();
    return abort_fd_ >= 0;
  }

  IoStatus startConnect(const SocketAddress& address) override {
    close();
    fd_ = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd_ < 0) return IoStatus::kFailed;
    const int result = noEintr([&] {
      return ::connect(fd_, reinterpret_cast<const sockaddr*>(address.bytes),
                       static_cast<socklen_t>(address.length));
    });
    if (result == 0) return IoStatus::kDone;
    if (errno == EINPROGRESS || errno == EAGAIN) return IoStatus::kWouldBlock;
    return IoStatus::kFailed;
  }

  bool connectResult() override {
    int error = 0;
    socklen_t size = sizeof error;
    return fd_ >= 0 && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }

  void tune() override {
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveCount, sizeof kKeepAliveCount);
  }

  IoStatus send(const std::uint8_t* data, std::size_t size, std::size_t& sent) override {
    sent = 0;
    if (fd_ < 0) return IoStatus::kFailed;
    // MSG_NOSIGNAL: a connection the other end has reset fails the call instead of raising
    // SIGPIPE in the host's process.
    const ssize_t n = noEintr([&] { return ::send(fd_, data, size, MSG_NOSIGNAL); });
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  IoStatus receive(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    received = 0;
    if (fd_ < 0) return IoStatus::kFailed;
    const ssize_t n = noEintr([&] { return ::recv(fd_, buffer, size, 0); });
    if (n > 0) {
      received = static_cast<std::size_t>(n);
      return IoStatus::kDone;
    }
    if (n == 0) return IoStatus::kClosed;
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::kWouldBlock : IoStatus::kFailed;
  }

  unsigned wait(unsigned want, std::uint32_t timeout_ms) override {
    if (aborted_.load()) return kSocketAborted;
    short events = 0;
    if (want & kSocketReadable) events |= POLLIN;
    if (want & kSocketWritable) events |= POLLOUT;
    pollfd p[2] = {{fd_, events, 0}, {abort_fd_, POLLIN, 0}};
    const nfds_t count = abort_fd_ >= 0 ? 2 : 1;
    const int limit = timeout_ms > 0x7FFFFFFFu ? -1 : static_cast<int>(timeout_ms);
    const int n = poll(p, count, limit);
    if (aborted_.load()) return kSocketAborted;
    if (n <= 0) return 0;  // out of time (or interrupted: the caller looks at its clock again)
    unsigned found = 0;
    // An error or hang-up is for the next receive, send or connectResult to report.
    if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) found |= want;
    if (p[0].revents & POLLIN) found |= kSocketReadable;
    if (p[0].revents & POLLOUT) found |= kSocketWritable;
    return found & (want | kSocketAborted);
  }

  void abort() override {
    aborted_.store(true);
    const int fd = abort_signal_fd_.load();
    if (fd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int abort_fd_ = -1;
  std::atomic<int> abort_signal_fd_{-1};
  std::atomic<bool> aborted_{false};
};

}  // namespace

LookupResult lookUpHost(const std::string& host, std::uint16_t port, bool literal_only,
                        std::vector<SocketAddress>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV | (literal_only ? AI_NUMERICHOST : 0);
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (error != 0) {
    return error == EAI_MEMORY || error == EAI_SYSTEM ? LookupResult::kFailed
                                                      : LookupResult::kNotFound;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addrlen > sizeof(SocketAddress::bytes)) continue;
    SocketAddress address;
    address.family = a->ai_family;
    address.length = a->ai_addrlen;
    std::memcpy(address.bytes, a->ai_addr, a->ai_addrlen);
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  return addresses.empty() ? LookupResult::kNotFound : LookupResult::kFound;
}

std::unique_ptr<Socket> makeSocket() {
  return std::unique_ptr<Socket>(new (std::nothrow) PosixSocket);
}

}  // namespace varno
