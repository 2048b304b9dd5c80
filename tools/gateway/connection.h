// An accepted socket on the event loop, and the listener that accepts them. The loop thread
// reads and parses; the bus threads answer through complete() and may write to the socket
// directly when nothing is waiting to go out, so a reply needs no hand-over to the loop.
#ifndef VARNO_GATEWAY_CONNECTION_H
#define VARNO_GATEWAY_CONNECTION_H

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus.h"
#include "net.h"

namespace varno::gw {

struct ListenerStats {
  std::atomic<std::uint64_t> connected{0};
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> refused_not_allowed{0};
  std::atomic<std::uint64_t> refused_limit{0};
  std::atomic<std::uint64_t> malformed{0};
};

class Connection : public BusClient, public std::enable_shared_from_this<Connection> {
 public:
  Connection(EventLoop& loop, int fd, std::string peer, std::shared_ptr<ListenerStats> stats);
  ~Connection() override;

  bool start();  // on the loop; false: closed already
  // Loop thread. Idempotent.
  void close(const std::string& why);
  const std::string& peer() const { return peer_; }

 protected:
  // Loop thread: parse in_, erase what was used.
  virtual void onBytes() = 0;
  // Loop thread, once, after the socket is closed.
  virtual void onClosed() {}
  // Under out_mutex_: whether more input may be taken now.
  virtual bool wantInput() const { return true; }

  // Under out_mutex_: puts bytes out (at once where the socket takes them).
  void output(const std::uint8_t* bytes, std::size_t size);
  // Under out_mutex_: after anything that changes wantInput() or the output.
  void updateInterest();
  // Under out_mutex_, off the loop thread: have the loop parse what it holds back.
  void resumeLater();
  // Loop thread: not this protocol. Logged, counted, closed.
  void closeMalformed(const std::string& what);
  // Loop thread: the peer is told no more; the socket closes once the output has gone.
  void closeAfterOutput();

  EventLoop& loop_;
  std::vector<std::uint8_t> in_;  // loop thread
  mutable std::mutex out_mutex_;
  bool closed_ = false;  // under out_mutex_

 private:
  void onEvents(std::uint32_t events);
  void flush();  // under out_mutex_
  void resume();

  int fd_;
  std::string peer_;
  std::shared_ptr<ListenerStats> stats_;
  std::vector<std::uint8_t> out_;  // under out_mutex_
  std::size_t out_sent_ = 0;
  std::uint32_t interest_ = 0;
  bool closing_ = false;  // closeAfterOutput
  bool resume_posted_ = false;
};

// Accepts on one socket: a peer outside the allowed networks, or beyond the limit, is closed
// before anything is read from it.
class Listener {
 public:
  using Factory = std::function<std::shared_ptr<Connection>(int fd, const std::string& peer,
                                                            std::shared_ptr<ListenerStats>)>;
  Listener(EventLoop& loop, std::string what, const AllowList& allow, std::uint32_t limit,
           Factory factory);
  ~Listener();
  // Binds; false with the reason logged.
  bool open(const std::string& address);
  const std::string& bound() const { return bound_; }
  std::shared_ptr<ListenerStats> stats() const { return stats_; }
  // Loop thread: stops accepting and closes every connection.
  void shutdown();

 private:
  void onAccept();

  EventLoop& loop_;
  std::string what_;
  const AllowList& allow_;
  std::uint32_t limit_;
  Factory factory_;
  int fd_ = -1;
  std::string bound_;
  std::shared_ptr<ListenerStats> stats_ = std::make_shared<ListenerStats>();
  std::vector<std::weak_ptr<Connection>> connections_;  // loop thread
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_CONNECTION_H
