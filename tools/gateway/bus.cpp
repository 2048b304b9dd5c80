#include "bus.h"

#include <algorithm>

#include "log.h"

namespace varno::gw {
namespace {

std::uint32_t clampTimeout(std::uint32_t asked, std::uint32_t fallback, std::uint32_t most) {
  return asked == 0 ? fallback : std::min(asked, most);
}

std::uint32_t micros(Clock::duration d) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  return static_cast<std::uint32_t>(std::clamp<long long>(us, 0, 0xFFFFFFFF));
}

// A reply from another device, to another address or to another code is not this command's:
// most often the late reply to the transaction before, which may have been another client's.
bool answers(const VarnoFrame& command, const VarnoFrame& reply) {
  return (reply.source & 0x7F) == (command.dest & 0x7F) &&
         (reply.dest & 0x7F) == (command.source & 0x7F) &&
         (reply.code & 0x7F) == (command.code & 0x7F);
}

}  // namespace

Bus::Bus(BusConfig config) : config_(std::move(config)) {}

Bus::~Bus() {
  stop();
}

void Bus::start() {
  worker_ = std::thread([this] { work(); });
  expiry_ = std::thread([this] { expire(); });
}

void Bus::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_changed_.notify_all();
  expiry_changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (expiry_.joinable()) expiry_.join();
}

Bus::ClientId Bus::attach(std::shared_ptr<BusClient> client, std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clients_.size() >= config_.max_connections + 1) return 0;  // (+1: the gateway's own polls)
  const ClientId id = next_id_++;
  clients_[id].sink = std::move(client);
  clients_[id].name = std::move(name);
  return id;
}

void Bus::detach(ClientId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(id);
  if (found == clients_.end()) return;
  queued_ -= found->second.queue.size();
  clients_.erase(found);
  ring_.erase(std::remove(ring_.begin(), ring_.end(), id), ring_.end());
}

bool Bus::cancelQueued(ClientId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = clients_.find(id);
  if (found == clients_.end() || found->second.queue.empty()) return false;
  queued_ -= found->second.queue.size();
  found->second.queue.clear();
  found->second.in_ring = false;
  ring_.erase(std::remove(ring_.begin(), ring_.end(), id), ring_.end());
  return true;
}

Completion Bus::unsent(const Request& request, std::int32_t outcome) {
  Completion c;
  c.tag = request.tag;
  c.outcome = outcome;
  c.frame = request.command;
  c.frame.dest = request.command.source;
  c.frame.source = request.command.dest;
  c.frame.status = 0;
  c.frame.error = 0;
  return c;
}

void Bus::countOutcome(std::int32_t outcome) {
  if (outcome >= 0 && outcome <= 5) {
    ++stats_.outcomes[static_cast<std::size_t>(outcome)];
  } else if (outcome == VARNO_E_QUEUE_TIMEOUT) {
    ++stats_.outcomes[6];
  }
}

void Bus::submit(ClientId id, Request request) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto found = clients_.find(id);
  if (found == clients_.end()) return;
  if (!open_ || stopping_) {
    // Nothing can reach the line now: said at once, not after a queue time-out.
    countOutcome(VARNO_READ_FAILED);
    const std::shared_ptr<BusClient> sink = found->second.sink;
    lock.unlock();
    sink->complete(unsent(request, VARNO_READ_FAILED));
    return;
  }
  request.queued_at = Clock::now();
  Client& client = found->second;
  client.queue.push_back(request);
  ++queued_;
  if (!client.in_ring) {
    client.in_ring = true;
    ring_.push_back(id);
  }
  // The queue timer sleeps while nothing waits: it is woken only for a request that will wait
  // (the bus is busy), and only when it is not set for an earlier deadline already (every later
  // request's deadline is later).
  const bool wake_expiry = busy_ && expiry_wake_ == Clock::time_point::max();
  const bool wake_worker = !busy_;
  lock.unlock();
  if (wake_worker) work_changed_.notify_one();
  if (wake_expiry) expiry_changed_.notify_one();
}

bool Bus::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

BusStats Bus::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  BusStats s = stats_;
  s.queue_depth = queued_;
  s.clients = clients_.size();
  s.open = open_;
  return s;
}

void Bus::failQueued(std::vector<Failed>& out, std::int32_t outcome) {
  for (auto& [id, client] : clients_) {
    for (const Request& r : client.queue) {
      out.push_back({client.sink, unsent(r, outcome)});
      countOutcome(outcome);
    }
    client.queue.clear();
    client.in_ring = false;
  }
  ring_.clear();
  queued_ = 0;
}

bool Bus::openPort(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  VarnoLink* link = nullptr;
  const std::int32_t rc = varnoLinkOpen(config_.port.c_str(), config_.baud, &link);
  lock.lock();
  if (rc != VARNO_OK) {
    logDebug("bus " + config_.name + ": " + config_.port + " did not open: " + varnoErrorText(rc));
    last_open_error_ = varnoErrorText(rc);
    return false;
  }
  link_ = link;
  open_ = true;
  return true;
}

void Bus::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint32_t backoff = config_.reconnect_min_ms;
  bool ever_open = false;
  bool waited = false;  // the first open of all is tried at once
  while (!stopping_) {
    if (!open_) {
      if (waited || ever_open) {
        work_changed_.wait_for(lock, std::chrono::milliseconds(backoff),
                               [this] { return stopping_; });
        if (stopping_) break;
      }
      waited = true;
      if (openPort(lock)) {
        logInfo("bus " + config_.name + ": " + config_.port + " open at " +
                std::to_string(config_.baud) + " baud");
        if (ever_open) ++stats_.reconnects;
        ever_open = true;
        backoff = config_.reconnect_min_ms;
      } else {
        if (backoff == config_.reconnect_min_ms) {
          logWarning("bus " + config_.name + ": " + config_.port + " does not open (" +
                     last_open_error_ + "); trying again, up to every " +
                     std::to_string(config_.reconnect_max_ms) + " ms");
        }
        backoff = std::min(config_.reconnect_max_ms, backoff * 2);
      }
      continue;
    }
    if (ring_.empty()) {
      work_changed_.wait(lock);
      continue;
    }
    const ClientId id = ring_.front();
    ring_.pop_front();
    Client& client = clients_[id];
    const Request request = client.queue.front();
    client.queue.pop_front();
    --queued_;
    if (client.queue.empty()) {
      client.in_ring = false;
    } else {
      ring_.push_back(id);
    }
    const std::shared_ptr<BusClient> sink = client.sink;
    const std::string client_name = client.name;
    busy_ = true;
    if (queued_ > 0 && expiry_wake_ == Clock::time_point::max()) expiry_changed_.notify_one();
    const Clock::time_point started = Clock::now();
    const double wait_s = std::chrono::duration<double>(started - request.queued_at).count();
    ++stats_.wait_count;
    stats_.wait_sum_s += wait_s;
    for (std::size_t i = 0; i < BusStats::kWaitBuckets.size(); ++i) {
      if (wait_s <= BusStats::kWaitBuckets[i]) {
        ++stats_.wait_buckets[i];
        break;
      }
    }
    VarnoLink* const link = link_;
    lock.unlock();

    const auto started_wall =
        observer_ ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point{};
    VarnoFrame reply{};
    const std::int32_t rc = varnoLinkTransact(
        link, &request.command,
        clampTimeout(request.write_timeout_ms, config_.write_timeout_ms, config_.max_timeout_ms),
        clampTimeout(request.reply_timeout_ms, config_.reply_timeout_ms, config_.max_timeout_ms),
        &reply);
    const Clock::time_point ended = Clock::now();
    Completion done;
    if (rc == VARNO_REPLY && !answers(request.command, reply)) {
      done = unsent(request, VARNO_INVALID_REPLY);
    } else if (rc >= 0) {
      done.tag = request.tag;
      done.outcome = rc;
      done.frame = reply;
    } else {
      // Nothing went out: the port is not usable.
      done = unsent(request, rc == VARNO_E_WRITE_START ? VARNO_WRITE_FAILED : VARNO_READ_FAILED);
    }
    done.bus_time_us = micros(ended - started);
    if (observer_) {
      observer_({started_wall, started, &config_.name, &client_name, request.command, done});
    }

    lock.lock();
    busy_ = false;
    stats_.busy_s += std::chrono::duration<double>(ended - started).count();
    countOutcome(done.outcome);
    std::vector<Failed> failed;
    VarnoLink* to_close = nullptr;
    if (done.outcome == VARNO_WRITE_FAILED || done.outcome == VARNO_READ_FAILED) {
      logWarning("bus " + config_.name + ": " + config_.port + " failed (" +
                 varnoErrorText(done.outcome) + "); reopening it");
      open_ = false;
      to_close = link_;
      link_ = nullptr;
      failQueued(failed, VARNO_READ_FAILED);
      backoff = config_.reconnect_min_ms;
    }
    const bool still_attached = clients_.count(id) != 0;
    lock.unlock();
    if (still_attached) sink->complete(done);
    for (const Failed& f : failed) f.sink->complete(f.completion);
    if (to_close != nullptr) varnoLinkClose(to_close);
    lock.lock();
  }
  if (link_ != nullptr) {
    VarnoLink* const link = link_;
    link_ = nullptr;
    open_ = false;
    lock.unlock();
    varnoLinkClose(link);
    logInfo("bus " + config_.name + ": " + config_.port + " closed");
  }
}

void Bus::expire() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto timeout = std::chrono::milliseconds(config_.queue_timeout_ms);
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point earliest = Clock::time_point::max();
    std::vector<Failed> expired;
    for (const ClientId id : ring_) {
      Client& client = clients_[id];
      // One time-out for the whole bus: each client's queue is in deadline order.
      while (!client.queue.empty() && client.queue.front().queued_at + timeout <= now) {
        Completion c = unsent(client.queue.front(), VARNO_E_QUEUE_TIMEOUT);
        expired.push_back({client.sink, c});
        countOutcome(VARNO_E_QUEUE_TIMEOUT);
        client.queue.pop_front();
        --queued_;
      }
      if (client.queue.empty()) {
        client.in_ring = false;
      } else {
        earliest = std::min(earliest, client.queue.front().queued_at + timeout);
      }
    }
    if (!expired.empty()) {
      ring_.erase(std::remove_if(ring_.begin(), ring_.end(),
                                 [this](ClientId id) { return !clients_[id].in_ring; }),
                  ring_.end());
      lock.unlock();
      for (const Failed& f : expired) f.sink->complete(f.completion);
      lock.lock();
      continue;
    }
    expiry_wake_ = earliest;
    if (earliest == Clock::time_point::max()) {
      expiry_changed_.wait(lock);
    } else {
      expiry_changed_.wait_until(lock, earliest);
    }
    expiry_wake_ = Clock::time_point::min();
  }
}

}  // namespace varno::gw
