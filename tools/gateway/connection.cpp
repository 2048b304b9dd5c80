#include "connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"

namespace varno::gw {
namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kMaxInput = 65536;  // held unparsed while the client may not send more

}  // namespace

Connection::Connection(EventLoop& loop, int fd, std::string peer,
                       std::shared_ptr<ListenerStats> stats)
    : loop_(loop), fd_(fd), peer_(std::move(peer)), stats_(std::move(stats)) {}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

bool Connection::start() {
  std::lock_guard<std::mutex> lock(out_mutex_);
  interest_ = EPOLLIN;
  auto self = shared_from_this();
  return loop_.add(fd_, interest_, [self](std::uint32_t events) { self->onEvents(events); });
}

void Connection::close(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(out_mutex_);
    if (closed_) return;
    closed_ = true;
    loop_.remove(fd_);
    ::close(fd_);
    fd_ = -1;
  }
  --stats_->connected;
  logDebug(peer_ + ": closed (" + why + ")");
  onClosed();
}

void Connection::closeMalformed(const std::string& what) {
  ++stats_->malformed;
  logWarning(peer_ + ": " + what + "; closing the connection");
  close("malformed");
}

void Connection::closeAfterOutput() {
  std::lock_guard<std::mutex> lock(out_mutex_);
  closing_ = true;
  updateInterest();
  if (out_.empty()) loop_.post([self = shared_from_this()] { self->close("done"); });
}

void Connection::onEvents(std::uint32_t events) {
  if ((events & EPOLLERR) != 0 || (events & (EPOLLHUP | EPOLLIN)) == EPOLLHUP) {
    close("the connection broke");
    return;
  }
  if ((events & EPOLLIN) != 0) {
    bool more = true;
    while (more && in_.size() < kMaxInput) {
      std::uint8_t chunk[kReadChunk];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) in_.insert(in_.end(), chunk, chunk + n);
      if (n == 0) {
        close("the peer closed");
        return;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        close(std::string("read failed: ") + std::strerror(errno));
        return;
      }
      more = static_cast<std::size_t>(n) == kReadChunk;
    }
    onBytes();
  }
  if ((events & EPOLLOUT) != 0) {
    std::lock_guard<std::mutex> lock(out_mutex_);
    if (closed_) return;
    flush();
    updateInterest();
    if (closing_ && out_.empty()) {
      loop_.post([self = shared_from_this()] { self->close("done"); });
    }
  }
  if ((events & EPOLLOUT) != 0) resume();
}

void Connection::resume() {
  {
    std::lock_guard<std::mutex> lock(out_mutex_);
    resume_posted_ = false;
    if (closed_ || closing_ || in_.empty() || !wantInput()) return;
  }
  onBytes();
}

void Connection::resumeLater() {
  if (resume_posted_ || closed_) return;
  resume_posted_ = true;
  loop_.post([self = shared_from_this()] { self->resume(); });
}

void Connection::output(const std::uint8_t* bytes, std::size_t size) {
  if (closed_) return;
  out_.insert(out_.end(), bytes, bytes + size);
  if ((interest_ & EPOLLOUT) == 0) flush();
  updateInterest();
}

void Connection::flush() {
  while (out_sent_ < out_.size()) {
    const ssize_t n =
        ::send(fd_, out_.data() + out_sent_, out_.size() - out_sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      out_sent_ += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Full (EPOLLOUT will come), or broken (the loop sees the hang-up and closes).
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) out_sent_ = out_.size();
      break;
    }
  }
  if (out_sent_ == out_.size()) {
    out_.clear();
    out_sent_ = 0;
  }
}

void Connection::updateInterest() {
  if (closed_) return;
  std::uint32_t want = 0;
  if (!closing_ && wantInput()) want |= EPOLLIN;
  if (!out_.empty()) want |= EPOLLOUT;
  if (want != interest_) {
    interest_ = want;
    loop_.modify(fd_, want);
  }
}

Listener::Listener(EventLoop& loop, std::string what, const AllowList& allow, std::uint32_t limit,
                   Factory factory)
    : loop_(loop),
      what_(std::move(what)),
      allow_(allow),
      limit_(limit),
      factory_(std::move(factory)) {}

Listener::~Listener() {
  if (fd_ >= 0) ::close(fd_);
}

bool Listener::open(const std::string& address) {
  std::string error;
  fd_ = listenOn(address, bound_, error);
  if (fd_ < 0) {
    logError(what_ + ": cannot listen on " + address + ": " + error);
    return false;
  }
  loop_.add(fd_, EPOLLIN, [this](std::uint32_t) { onAccept(); });
  logInfo(what_ + ": listening on " + bound_);
  return true;
}

void Listener::onAccept() {
  for (int i = 0; i < 64; ++i) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd =
        accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) logWarning(what_ + ": out of descriptors");
      return;
    }
    const std::string text = addressText(peer);
    if (!allow_.allows(peer)) {
      ::close(fd);
      ++stats_->refused_not_allowed;
      logWarning(what_ + ": refused " + text + " (not in allow)");
      continue;
    }
    if (stats_->connected >= limit_) {
      ::close(fd);
      ++stats_->refused_limit;
      logWarning(what_ + ": refused " + text + " (" + std::to_string(limit_) +
                 " connections already)");
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A client that vanished without a word is found out within about half a minute.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    const int idle = 10, interval = 5, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ++stats_->connected;
    ++stats_->accepted;
    std::shared_ptr<Connection> connection = factory_(fd, text, stats_);
    if (connection == nullptr) {  // the factory refused it
      --stats_->connected;
      continue;
    }
    logDebug(what_ + ": " + text + " connected");
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const auto& c) { return c.expired(); }),
                       connections_.end());
    connections_.push_back(connection);
    if (!connection->start()) connection->close("cannot watch the socket");
  }
}

void Listener::shutdown() {
  if (fd_ >= 0) {
    loop_.remove(fd_);
    ::close(fd_);
    fd_ = -1;
  }
  for (const auto& weak : connections_) {
    if (auto c = weak.lock()) c->close("the gateway stops");
  }
  connections_.clear();
}

}  // namespace varno::gw
