// One bus: the port, held open (and opened again when it fails), and the queue of its clients'
// requests. One transaction at a time, each run to its end; clients served in turn (round
// robin), so that one client's slow or dead device costs the others at most one of its
// transactions per turn. Knows nothing of sockets: the listeners and the poller are its clients.
#ifndef VARNO_GATEWAY_BUS_H
#define VARNO_GATEWAY_BUS_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "varno_link.h"

namespace varno::gw {

using Clock = std::chrono::steady_clock;

struct Request {
  VarnoFrame command{};
  std::uint32_t write_timeout_ms = 0;  // 0: the bus's default
  std::uint32_t reply_timeout_ms = 0;
  std::uint64_t tag = 0;  // the client's own
  Clock::time_point queued_at{};
};

struct Completion {
  std::uint64_t tag = 0;
  std::int32_t outcome = 0;  // 0..5, or VARNO_E_QUEUE_TIMEOUT
  std::uint32_t bus_time_us = 0;
  VarnoFrame frame{};  // the reply (0), else the command with its addresses swapped
};

class BusClient {
 public:
  virtual ~BusClient() = default;
  // Exactly once per request submitted and not cancelled, on whichever thread decides it (the
  // bus's, its queue timer's, or the submitter's own when the bus is down). Must not block.
  virtual void complete(const Completion& completion) = 0;
};

// One transaction that went onto the bus (a request answered from the queue never did), as the
// frame log and the per-device figures learn of it.
struct BusTransaction {
  std::chrono::system_clock::time_point started;
  Clock::time_point started_steady;
  const std::string* bus = nullptr;     // the bus's name
  const std::string* client = nullptr;  // as attached
  VarnoFrame command{};
  Completion completion;
};
using BusObserver = std::function<void(const BusTransaction&)>;

struct BusStats {
  static constexpr std::array<double, 12> kWaitBuckets = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05,
                                                          0.1,    0.25,   0.5,   1,     2.5,  5};
  std::array<std::uint64_t, 7> outcomes{};                        // 0..5, then the queue time-outs
  std::array<std::uint64_t, kWaitBuckets.size()> wait_buckets{};  // not cumulative
  std::uint64_t wait_count = 0;
  double wait_sum_s = 0;
  double busy_s = 0;
  std::size_t queue_depth = 0;
  std::size_t clients = 0;
  bool open = false;
  std::uint64_t reconnects = 0;
};

class Bus {
 public:
  using ClientId = std::uint64_t;

  explicit Bus(BusConfig config);
  ~Bus();  // stop()
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  const BusConfig& config() const { return config_; }

  void start();
  // Lets the transaction under way end, answers nothing more, closes the port (its settings
  // restored). Clients should be detached first.
  void stop();

  // Called on the bus's worker after each transaction, before its client learns of it; must be
  // quick and must not call the bus. Set before start().
  void setObserver(BusObserver observer) { observer_ = std::move(observer); }

  // 0 when the bus already has its configured number of clients. The name is for the observer.
  ClientId attach(std::shared_ptr<BusClient> client, std::string name = {});
  // Drops the client's queued requests at once; one of its on the bus completes unseen.
  void detach(ClientId id);
  void submit(ClientId id, Request request);
  // Takes the client's queued requests back (they will not complete); true if there were any.
  bool cancelQueued(ClientId id);

  bool isOpen() const;
  BusStats stats() const;

 private:
  struct Client {
    std::shared_ptr<BusClient> sink;
    std::string name;
    std::deque<Request> queue;
    bool in_ring = false;
  };
  struct Failed {
    std::shared_ptr<BusClient> sink;
    Completion completion;
  };

  void work();
  void expire();
  bool openPort(std::unique_lock<std::mutex>& lock);
  void failQueued(std::vector<Failed>& out, std::int32_t outcome);
  static Completion unsent(const Request& request, std::int32_t outcome);
  void countOutcome(std::int32_t outcome);

  const BusConfig config_;
  mutable std::mutex mutex_;
  std::condition_variable work_changed_;
  std::condition_variable expiry_changed_;
  std::map<ClientId, Client> clients_;
  std::deque<ClientId> ring_;  // clients with queued requests, in turn
  ClientId next_id_ = 1;
  std::size_t queued_ = 0;
  VarnoLink* link_ = nullptr;  // the worker's; null while the port is closed
  bool open_ = false;
  bool busy_ = false;  // a transaction is on the bus
  std::string last_open_error_;
  bool stopping_ = false;
  Clock::time_point expiry_wake_ = Clock::time_point::max();
  BusStats stats_;
  BusObserver observer_;
  std::thread worker_;
  std::thread expiry_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_BUS_H
