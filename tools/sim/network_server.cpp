#include "network_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "network/telnet.h"
#include "os/linux_termios2.h"

namespace varno::sim {
namespace {

namespace tn = varno::telnet;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Everything, or false once the other end is gone. Waits for room as long as it takes.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    const ssize_t put = n < 0 && errno == ENOTSOCK ? ::write(fd, bytes, size) : n;
    if (put > 0) {
      bytes += put;
      size -= static_cast<std::size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

// One client and the terminal opened for it.
class Session final : public tn::Handler {
 public:
  Session(int client, int terminal, bool telnet)
      : client_(client), terminal_(terminal), telnet_(telnet) {
    if (telnet_) {
      reply(tn::kWill, tn::kBinary);
      reply(tn::kDo, tn::kBinary);
      reply(tn::kDo, tn::kComPort);
      flushReplies();
    }
  }
  ~Session() override {
    closeFd(client_);
    closeFd(terminal_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int client() const { return client_; }
  int terminal() const { return terminal_; }

  // From the network to the line. False once the client has gone.
  bool fromClient() {
    std::uint8_t buffer[4096];
    const ssize_t got = ::recv(client_, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) return false;
    std::size_t size = static_cast<std::size_t>(got);
    std::uint8_t data[sizeof buffer];
    const std::uint8_t* out = buffer;
    if (telnet_) {
      size = decoder_.decode(buffer, size, data, *this);
      if (decoder_.failed()) return false;  // an endless sub-negotiation: not a telnet client
      out = data;
    }
    return writeAll(terminal_, out, size) && flushReplies();
  }

  // From the line to the network. False once either end has gone.
  bool fromTerminal() {
    std::uint8_t buffer[2048];
    const ssize_t got = ::read(terminal_, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) return false;
    if (!telnet_) return writeAll(client_, buffer, static_cast<std::size_t>(got));
    std::uint8_t escaped[2 * sizeof buffer];
    std::size_t size = 0;
    for (ssize_t i = 0; i < got; ++i) size += tn::encodeData(buffer[i], escaped + size);
    return writeAll(client_, escaped, size);
  }

  void negotiation(std::uint8_t verb, std::uint8_t option) override {
    const bool ours = option == tn::kBinary || option == tn::kComPort;
    // Answers only what it did not offer itself, and refuses what it does not do, once.
    if (verb == tn::kDo && option != tn::kBinary && !refused_[option]) {
      refused_[option] = true;
      reply(tn::kWont, option);
    } else if (verb == tn::kWill && !ours && !refused_[option]) {
      refused_[option] = true;
      reply(tn::kDont, option);
    }
  }

  void subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) override {
    if (cut || size < 2 || payload[0] != tn::kComPort) return;
    const std::uint8_t command = payload[1];
    const std::uint8_t* value = payload + 2;
    const std::size_t value_size = size - 2;
    termios2 t{};
    if (ioctl(terminal_, TCGETS2, &t) != 0) return;
    std::uint8_t answer[4] = {value_size > 0 ? value[0] : std::uint8_t{0}};
    std::size_t answer_size = 1;
    switch (command) {
      case tn::kSetBaudRate: {
        if (value_size != 4) return;
        const std::uint32_t rate = (std::uint32_t{value[0]} << 24) |
                                   (std::uint32_t{value[1]} << 16) |
                                   (std::uint32_t{value[2]} << 8) | value[3];
        if (rate != 0) {
          t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
          t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
          t.c_ispeed = t.c_ospeed = rate;
          ioctl(terminal_, TCSETS2, &t);
          ioctl(terminal_, TCGETS2, &t);
        }
        // The rate in use now, whatever was asked.
        const std::uint32_t now = t.c_ospeed;
        answer[0] = static_cast<std::uint8_t>(now >> 24);
        answer[1] = static_cast<std::uint8_t>(now >> 16);
        answer[2] = static_cast<std::uint8_t>(now >> 8);
        answer[3] = static_cast<std::uint8_t>(now);
        answer_size = 4;
        break;
      }
      case tn::kSetDataSize:
        if (value[0] >= 5 && value[0] <= 8) {
          static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
          t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[value[0] - 5];
          ioctl(terminal_, TCSETS2, &t);
        }
        break;
      case tn::kSetParity:
        if (value[0] == tn::kParityNone) {
          t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
          ioctl(terminal_, TCSETS2, &t);
        }
        break;
      case tn::kSetStopSize:
        if (value[0] == 1 || value[0] == 2) {
          t.c_cflag =
              value[0] == 2 ? t.c_cflag | CSTOPB : t.c_cflag & ~static_cast<tcflag_t>(CSTOPB);
          ioctl(terminal_, TCSETS2, &t);
        }
        break;
      case tn::kSetControl:
        if (value[0] == tn::kControlNoFlowControl) {
          t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
          t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
          ioctl(terminal_, TCSETS2, &t);
        }
        break;  // DTR and RTS: a terminal has none; the value asked for is confirmed
      case tn::kPurgeData:
        if (value[0] >= 1 && value[0] <= 3) {
          tcflush(terminal_, value[0] == 1 ? TCIFLUSH : value[0] == 2 ? TCOFLUSH : TCIOFLUSH);
        }
        break;
      default:
        return;  // notifications and masks: nothing to say
    }
    std::uint8_t bytes[16];
    const std::size_t n = tn::encodeComPort(static_cast<std::uint8_t>(tn::kServerOffset + command),
                                            answer, answer_size, bytes);
    replies_.insert(replies_.end(), bytes, bytes + n);
  }

 private:
  void reply(std::uint8_t verb, std::uint8_t option) {
    std::uint8_t bytes[3];
    tn::encodeNegotiation(verb, option, bytes);
    replies_.insert(replies_.end(), bytes, bytes + 3);
  }

  bool flushReplies() {
    const bool ok = replies_.empty() || writeAll(client_, replies_.data(), replies_.size());
    replies_.clear();
    return ok;
  }

  int client_;
  int terminal_;
  const bool telnet_;
  tn::Decoder decoder_;
  std::vector<std::uint8_t> replies_;
  bool refused_[256] = {};
};

}  // namespace

NetworkServer::NetworkServer(std::string terminal_path, std::uint16_t port, Protocol protocol)
    : terminal_path_(std::move(terminal_path)), protocol_(protocol) {
  try {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::system_error(errno, std::system_category(), "socket");
    const int on = 1;
    // A restarted simulator takes its port straight back.
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::system_error(errno, std::system_category(),
                              "bind 127.0.0.1:" + std::to_string(port));
    }
    if (listen(listen_fd_, 4) != 0)
      throw std::system_error(errno, std::system_category(), "listen");
    socklen_t length = sizeof address;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::system_category(), "pipe2");
    }
    wake_read_fd_ = wake[0];
    wake_write_fd_ = wake[1];
    thread_ = std::thread(&NetworkServer::serve, this);
  } catch (...) {
    closeFd(listen_fd_);
    closeFd(wake_read_fd_);
    closeFd(wake_write_fd_);
    throw;
  }
}

NetworkServer::~NetworkServer() {
  const std::uint8_t byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_fd_, &byte, 1);
  thread_.join();
  closeFd(listen_fd_);
  closeFd(wake_read_fd_);
  closeFd(wake_write_fd_);
}

std::string NetworkServer::url() const {
  return std::string(protocol_ == Protocol::kRaw ? "tcp" : "rfc2217") +
         "://127.0.0.1:" + std::to_string(port_);
}

void NetworkServer::serve() {
  std::unique_ptr<Session> session;
  for (;;) {
    pollfd fds[4] = {{wake_read_fd_, POLLIN, 0},
                     {listen_fd_, POLLIN, 0},
                     {session ? session->client() : -1, POLLIN, 0},
                     {session ? session->terminal() : -1, POLLIN, 0}};
    if (poll(fds, 4, -1) < 0) continue;
    if (fds[0].revents != 0) return;
    if (fds[1].revents & POLLIN) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) {
        session.reset();  // the new client takes over
        const int terminal =
            ::open(terminal_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (terminal < 0) {
          ::close(client);
          continue;
        }
        termios t{};
        tcgetattr(terminal, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(terminal, TCSANOW, &t);
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        session = std::make_unique<Session>(client, terminal, protocol_ == Protocol::kRfc2217);
      }
      continue;
    }
    if (!session) continue;
    bool alive = true;
    if (fds[2].revents != 0) alive = session->fromClient();
    if (alive && fds[3].revents != 0) alive = session->fromTerminal();
    if (!alive) session.reset();
  }
}

}  // namespace varno::sim
