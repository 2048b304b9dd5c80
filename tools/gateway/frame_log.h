// What the page shows of the buses' traffic: the last transactions, newest last, and each
// device's figures. Fed by every bus's observer, on the buses' threads, so it only copies.
#ifndef VARNO_GATEWAY_FRAME_LOG_H
#define VARNO_GATEWAY_FRAME_LOG_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus.h"

namespace varno::gw {

struct FrameRecord {
  std::uint64_t seq = 0;  // 1, 2, ...: the page asks for what came after the last it has
  double time_ms = 0;     // the start, ms since the Unix epoch
  std::string bus;
  std::string client;
  VarnoFrame command{};
  std::int32_t outcome = 0;
  VarnoFrame frame{};  // the reply (0), else the command with its addresses swapped
  std::uint32_t round_trip_us = 0;
  std::optional<std::uint32_t> gap_us;  // since the previous transaction on the bus ended
};

struct DeviceFigures {
  std::string bus;
  std::uint8_t address = 0;
  std::uint64_t transactions = 0;
  std::uint64_t errors = 0;             // anything but a reply
  std::optional<double> last_reply_ms;  // ms since the Unix epoch
  std::optional<double> median_ms;      // of the last kRoundTrips replies
  std::optional<double> p99_ms;
};

class FrameLog {
 public:
  static constexpr std::size_t kRoundTrips = 1000;

  explicit FrameLog(std::size_t capacity = 10000) : capacity_(capacity) {}
  void record(const BusTransaction& t);
  // Those after `seq`, oldest first; at most `most` (the newest of them).
  std::vector<FrameRecord> after(std::uint64_t seq, std::size_t most) const;
  std::uint64_t lastSeq() const;
  std::vector<DeviceFigures> devices() const;

 private:
  struct Device {
    std::uint64_t transactions = 0;
    std::uint64_t errors = 0;
    std::optional<double> last_reply_ms;
    std::vector<std::uint32_t> round_trips_us;  // a ring of kRoundTrips
    std::size_t next = 0;
  };

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<FrameRecord> frames_;
  std::uint64_t seq_ = 0;
  std::map<std::string, Clock::time_point> bus_ended_;
  std::map<std::pair<std::string, std::uint8_t>, Device> devices_;
};

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_FRAME_LOG_H
