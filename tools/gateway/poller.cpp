#include "poller.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "log.h"

namespace varno::gw {

struct Poller::Point {
  PointConfig config;
  Bus* bus = nullptr;
  Bus::ClientId client = 0;
  std::string address_key;  // bus and address: the back-off is the address's
  PointReading reading;
  bool pending = false;
  Clock::time_point due{};
};

// Completions come back on the bus's threads; the index of the point travels in the tag.
class Poller::Sink : public BusClient {
 public:
  explicit Sink(Poller& poller) : poller_(poller) {}
  void complete(const Completion& c) override {
    poller_.completed(static_cast<std::size_t>(c.tag), c);
  }

 private:
  Poller& poller_;
};

Poller::Poller(const std::vector<PointConfig>& points, const BusMap& buses) {
  std::map<Bus*, Bus::ClientId> ids;
  for (const PointConfig& config : points) {
    Point p;
    p.config = config;
    p.bus = buses.at(config.bus);
    p.address_key = config.bus + "/" + std::to_string(config.dest);
    p.reading.name = config.name;
    p.reading.bus = config.bus;
    p.reading.unit = config.unit;
    points_.push_back(p);
  }
  for (Point& p : points_) {
    auto& id = ids[p.bus];
    if (id == 0) {
      id = p.bus->attach(std::make_shared<Sink>(*this), "points");
      clients_.emplace_back(p.bus, id);
    }
    p.client = id;
  }
}

Poller::~Poller() {
  stop();
}

void Poller::start() {
  if (!points_.empty()) thread_ = std::thread([this] { run(); });
}

void Poller::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (auto& [bus, id] : clients_) bus->detach(id);
  clients_.clear();
}

std::vector<PointReading> Poller::readings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PointReading> out;
  for (const Point& p : points_) out.push_back(p.reading);
  return out;
}

void Poller::addListener(Listener listener) {
  listeners_.push_back(std::move(listener));
}

std::chrono::milliseconds Poller::interval(const Point& point) const {
  // The address's misses, whichever of its points saw them.
  std::uint64_t misses = 0;
  for (const Point& p : points_) {
    if (p.address_key == point.address_key) misses = std::max(misses, p.reading.misses);
  }
  std::uint64_t ms = point.config.every_ms;
  if (misses >= kMissesBeforeBackOff) {
    const std::uint64_t most = std::max<std::uint64_t>(kBackOffMaxMs, point.config.every_ms);
    const std::uint64_t doublings = std::min<std::uint64_t>(misses - kMissesBeforeBackOff + 1, 20);
    ms = std::min(most, ms << doublings);
  }
  return std::chrono::milliseconds(ms);
}

void Poller::completed(std::size_t index, const Completion& c) {
  PointUpdate update;
  update.at = std::chrono::system_clock::now();
  update.outcome = c.outcome;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Point& p = points_[index];
    update.point = &p.config;
    p.pending = false;
    p.reading.last_outcome = c.outcome;
    if (c.outcome == VARNO_REPLY) {
      p.reading.misses = 0;
      p.reading.at = Clock::now();
      if (p.config.decimals) {
        const double scale = std::pow(10.0, *p.config.decimals);
        p.reading.value = std::round(varnoDataToFloat(c.frame.data) * scale) / scale;
      } else {
        p.reading.value = varnoDataToUInt(c.frame.data);
      }
      // Every point of the address is asked at its own pace again.
      for (Point& other : points_) {
        if (other.address_key == p.address_key) other.reading.misses = 0;
      }
    } else if (c.outcome != VARNO_E_QUEUE_TIMEOUT) {
      if (++p.reading.misses == kMissesBeforeBackOff) {
        logWarning("point " + p.config.name + ": address " + std::to_string(p.config.dest) +
                   " on bus " + p.config.bus + " does not answer (" + varnoErrorText(c.outcome) +
                   "); asking it less often");
      }
    }
    if (c.outcome == VARNO_REPLY) update.value = p.reading.value;
    p.due = std::max(p.due, Clock::now() - interval(p)) + interval(p);
  }
  changed_.notify_all();
  for (const Listener& listener : listeners_) listener(update);
}

void Poller::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (Point& p : points_) p.due = Clock::now();
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    std::vector<std::pair<std::size_t, Request>> due;
    for (std::size_t i = 0; i < points_.size(); ++i) {
      Point& p = points_[i];
      if (p.pending) continue;
      if (p.due > now) {
        next = std::min(next, p.due);
        continue;
      }
      Request r;
      r.command.dest = p.config.dest;
      r.command.source = p.config.source;
      r.command.code = p.config.code;
      r.command.param = p.config.param;
      r.tag = i;
      p.pending = true;
      due.emplace_back(i, r);
    }
    if (!due.empty()) {
      lock.unlock();
      for (auto& [i, r] : due) points_[i].bus->submit(points_[i].client, r);
      lock.lock();
      continue;
    }
    if (next == Clock::time_point::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, next);
    }
  }
}

}  // namespace varno::gw
