// The gateway's own polling of the configured points: one more client of each bus, waiting its
// turn like the others. An address that has stopped answering is asked less and less often.
#ifndef VARNO_GATEWAY_POLLER_H
#define VARNO_GATEWAY_POLLER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "config.h"
#include "gateway_listener.h"

namespace varno::gw {

struct PointReading {
  std::string name;
  std::string bus;
  std::string unit;
  std::optional<double> value;          // unset until the first reply
  std::optional<Clock::time_point> at;  // of the last reply
  std::int32_t last_outcome = -1;       // -1: not asked yet
  std::uint64_t misses = 0;             // transactions without a reply, in a row
};

// One poll's end, told to the listeners: the value is set only when the outcome is a reply.
struct PointUpdate {
  const PointConfig* point = nullptr;
  std::optional<double> value;
  std::int32_t outcome = 0;
  std::chrono::system_clock::time_point at{};
};

class Poller {
 public:
  using Listener = std::function<void(const PointUpdate&)>;

  Poller(const std::vector<PointConfig>& points, const BusMap& buses);
  ~Poller();
  void start();
  void stop();  // detaches from the buses
  std::vector<PointReading> readings() const;
  // Before start(). Called after every poll (on the bus's thread, outside the poller's lock), so
  // it must not block; its own order between points is its business.
  void addListener(Listener listener);

  // Polls of an address that has not answered this many times in a row back off.
  static constexpr std::uint32_t kMissesBeforeBackOff = 3;
  static constexpr std::uint32_t kBackOffMaxMs = 60000;

 private:
  struct Point;
  class Sink;

  void run();
  void completed(std::size_t index, const Completion& completion);
  std::chrono::milliseconds interval(const Point& point) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Point> points_;
  std::vector<std::pair<Bus*, Bus::ClientId>> clients_;
  std::vector<Listener> listeners_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_POLLER_H
