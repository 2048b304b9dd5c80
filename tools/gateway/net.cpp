#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace varno::gw {

bool parseEndpoint(const std::string& text, Endpoint& out, std::string& error) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "expected [IPv6]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    in6_addr a6{};
    if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) {
      error = "not an IPv6 address: " + host;
      return false;
    }
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      error = "expected HOST:PORT (an IPv6 address in brackets)";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) {
    error = "no host (0.0.0.0 or [::] for every address)";
    return false;
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
    error = "the port must be 0..65535";
    return false;
  }
  out.host = host;
  out.port = static_cast<std::uint16_t>(std::stoul(port));
  return true;
}

bool parseNetwork(const std::string& text, Network& out, std::string& error) {
  const std::size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  Network n;
  if (inet_pton(AF_INET, address.c_str(), n.bytes) == 1) {
    n.family = AF_INET;
  } else if (inet_pton(AF_INET6, address.c_str(), n.bytes) == 1) {
    n.family = AF_INET6;
  } else {
    error = "not an IPv4 or IPv6 address";
    return false;
  }
  const int most = n.family == AF_INET ? 32 : 128;
  n.prefix = most;
  if (slash != std::string::npos) {
    const std::string prefix = text.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string::npos || std::stoi(prefix) > most) {
      error = "the prefix length must be 0.." + std::to_string(most);
      return false;
    }
    n.prefix = std::stoi(prefix);
  }
  out = n;
  return true;
}

AllowList::AllowList(const std::vector<std::string>& networks) {
  for (const std::string& text : networks) {
    Network n;
    std::string error;
    if (parseNetwork(text, n, error)) networks_.push_back(n);
  }
}

bool isLoopbackHost(const std::string& host) {
  in_addr a4{};
  in6_addr a6{};
  if (host == "localhost") return true;
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  return inet_pton(AF_INET6, host.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

bool AllowList::allows(const sockaddr_storage& peer) const {
  int family = peer.ss_family;
  std::uint8_t bytes[16] = {};
  if (family == AF_INET) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
  } else if (family == AF_INET6) {
    const in6_addr& a6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
      family = AF_INET;
      std::memcpy(bytes, a6.s6_addr + 12, 4);
    } else {
      std::memcpy(bytes, a6.s6_addr, 16);
    }
  } else {
    return false;
  }
  for (const Network& n : networks_) {
    if (n.family != family) continue;
    int bits = n.prefix;
    bool match = true;
    for (int i = 0; bits > 0 && match; ++i, bits -= 8) {
      const std::uint8_t mask = bits >= 8 ? 0xFF : static_cast<std::uint8_t>(0xFF << (8 - bits));
      match = (bytes[i] & mask) == (n.bytes[i] & mask);
    }
    if (match) return true;
  }
  return false;
}

std::string addressText(const sockaddr_storage& address) {
  // snprintf rather than string concatenation, which GCC 12 misreads at -O3 (-Wrestrict).
  char host[INET6_ADDRSTRLEN] = "?";
  char text[INET6_ADDRSTRLEN + 16];
  if (address.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    std::snprintf(text, sizeof text, "%s:%u", host, unsigned{ntohs(a.sin_port)});
  } else {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
    std::snprintf(text, sizeof text, "[%s]:%u", host, unsigned{ntohs(a.sin6_port)});
  }
  return text;
}

int listenOn(const std::string& text, std::string& bound, std::string& error) {
  Endpoint endpoint;
  if (!parseEndpoint(text, endpoint, error)) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint.port);
  if (const int rc = getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 128) != 0) {
      error = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    bound = addressText(address);
  }
  return fd;
}

EventLoop::EventLoop() {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wake_fd_;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
}

EventLoop::~EventLoop() {
  ::close(wake_fd_);
  ::close(epoll_fd_);
}

bool EventLoop::add(int fd, std::uint32_t events, Handler handler) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) return false;
  handlers_[fd] = std::make_shared<Handler>(std::move(handler));
  return true;
}

void EventLoop::modify(int fd, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::remove(int fd) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  handlers_.erase(fd);
}

void EventLoop::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(work));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void EventLoop::everySecond(std::function<void()> work) {
  tickers_.push_back(std::move(work));
}

void EventLoop::run() {
  epoll_event events[64];
  auto next_tick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!stop_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        next_tick - std::chrono::steady_clock::now());
    const int n =
        epoll_wait(epoll_fd_, events, 64, static_cast<int>(std::max<long>(0, left.count())));
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_fd_) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(wake_fd_, &count, sizeof count);
        std::vector<std::function<void()>> work;
        {
          std::lock_guard<std::mutex> lock(posted_mutex_);
          work.swap(posted_);
        }
        for (auto& w : work) w();
        continue;
      }
      // Held while it runs: the handler may remove itself.
      const auto found = handlers_.find(fd);
      if (found == handlers_.end()) continue;
      const std::shared_ptr<Handler> handler = found->second;
      (*handler)(events[i].events);
    }
    if (std::chrono::steady_clock::now() >= next_tick) {
      next_tick += std::chrono::seconds(1);
      for (auto& t : tickers_) t();
    }
  }
}

void EventLoop::stop() {
  stop_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

}  // namespace varno::gw
