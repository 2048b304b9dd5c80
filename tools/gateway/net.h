// Sockets for the listeners: addresses, the allowed networks, listening, and the one event loop
// (epoll) that serves every listener and connection.
#ifndef VARNO_GATEWAY_NET_H
#define VARNO_GATEWAY_NET_H

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varno::gw {

// "HOST:PORT": an IPv4 address, "[IPv6]" or a name; PORT 0 takes any free port.
struct Endpoint {
  std::string host;  // without brackets
  std::uint16_t port = 0;
};
bool parseEndpoint(const std::string& text, Endpoint& out, std::string& error);
// 127.0.0.0/8, ::1 or "localhost": only this machine can reach it.
bool isLoopbackHost(const std::string& host);

// "ADDRESS/PREFIX" (or an address alone: that one address).
struct Network {
  int family = 0;  // AF_INET or AF_INET6
  std::uint8_t bytes[16] = {};
  int prefix = 0;
};
bool parseNetwork(const std::string& text, Network& out, std::string& error);

class AllowList {
 public:
  explicit AllowList(const std::vector<std::string>& networks);
  // An IPv4 peer on a dual-stack socket (::ffff:a.b.c.d) is matched as IPv4.
  bool allows(const sockaddr_storage& peer) const;

 private:
  std::vector<Network> networks_;
};

std::string addressText(const sockaddr_storage& address);

// A non-blocking listening socket on `text`, or -1 with `error` set. `bound` is the address it
// got (with the port chosen when 0 was asked).
int listenOn(const std::string& text, std::string& bound, std::string& error);

// One thread waits for every socket. Handlers run on it; post() hands work to it from any
// thread. Level-triggered.
class EventLoop {
 public:
  using Handler = std::function<void(std::uint32_t events)>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  bool add(int fd, std::uint32_t events, Handler handler);
  void modify(int fd, std::uint32_t events);  // any thread
  void remove(int fd);                        // loop thread; before closing fd
  void post(std::function<void()> work);      // any thread
  void everySecond(std::function<void()> work);

  void run();   // until stop()
  void stop();  // any thread

 private:
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::map<int, std::shared_ptr<Handler>> handlers_;  // loop thread only
  std::mutex posted_mutex_;
  std::vector<std::function<void()>> posted_;
  std::vector<std::function<void()>> tickers_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_NET_H
