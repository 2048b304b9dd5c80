#include "frame_log.h"

#include <algorithm>

namespace varno::gw {

void FrameLog::record(const BusTransaction& t) {
  FrameRecord r;
  r.time_ms = std::chrono::duration<double, std::milli>(t.started.time_since_epoch()).count();
  r.bus = *t.bus;
  r.client = *t.client;
  r.command = t.command;
  r.outcome = t.completion.outcome;
  r.frame = t.completion.frame;
  r.round_trip_us = t.completion.bus_time_us;
  const Clock::time_point ended = t.started_steady + std::chrono::microseconds(r.round_trip_us);

  std::lock_guard<std::mutex> lock(mutex_);
  r.seq = ++seq_;
  const auto previous = bus_ended_.find(r.bus);
  if (previous != bus_ended_.end()) {
    const auto gap =
        std::chrono::duration_cast<std::chrono::microseconds>(t.started_steady - previous->second);
    r.gap_us = static_cast<std::uint32_t>(std::clamp<long long>(gap.count(), 0, 0xFFFFFFFF));
  }
  bus_ended_[r.bus] = ended;

  Device& d = devices_[{r.bus, static_cast<std::uint8_t>(t.command.dest & 0x7F)}];
  ++d.transactions;
  if (r.outcome == VARNO_REPLY) {
    d.last_reply_ms = r.time_ms + r.round_trip_us / 1000.0;
    if (d.round_trips_us.size() < kRoundTrips) {
      d.round_trips_us.push_back(r.round_trip_us);
    } else {
      d.round_trips_us[d.next] = r.round_trip_us;
    }
    d.next = (d.next + 1) % kRoundTrips;
  } else {
    ++d.errors;
  }

  frames_.push_back(std::move(r));
  if (frames_.size() > capacity_) frames_.pop_front();
}

std::vector<FrameRecord> FrameLog::after(std::uint64_t seq, std::size_t most) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FrameRecord> out;
  if (frames_.empty() || seq >= seq_) return out;
  // Sequence numbers run without holes, so the first wanted one's place is known.
  const std::uint64_t first = frames_.front().seq;
  const std::uint64_t from = std::max({seq + 1, first, seq_ >= most ? seq_ - most + 1 : 1});
  for (std::uint64_t s = from; s <= seq_; ++s) out.push_back(frames_[s - first]);
  return out;
}

std::uint64_t FrameLog::lastSeq() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seq_;
}

std::vector<DeviceFigures> FrameLog::devices() const {
  std::vector<std::pair<std::pair<std::string, std::uint8_t>, Device>> copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    copy.assign(devices_.begin(), devices_.end());
  }
  std::vector<DeviceFigures> out;
  for (auto& [key, d] : copy) {
    DeviceFigures f;
    f.bus = key.first;
    f.address = key.second;
    f.transactions = d.transactions;
    f.errors = d.errors;
    f.last_reply_ms = d.last_reply_ms;
    auto& rt = d.round_trips_us;
    if (!rt.empty()) {
      auto at = [&rt](double q) {
        const auto k = static_cast<std::size_t>(q * static_cast<double>(rt.size() - 1) + 0.5);
        std::nth_element(rt.begin(), rt.begin() + static_cast<std::ptrdiff_t>(k), rt.end());
        return rt[k] / 1000.0;
      };
      f.median_ms = at(0.5);
      f.p99_ms = at(0.99);
    }
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace varno::gw
