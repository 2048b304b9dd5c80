// The monitor's cutting of a bus's bytes into frames: frames, corrupt frames, frames split by
// short and long silences, and noise.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bus_frames.h"
#include "format.h"

namespace varno::tool {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes frameBytes(std::uint8_t dest, std::uint8_t source, std::uint8_t code = 0) {
  VarnoFrame f{};
  f.dest = dest;
  f.source = source;
  f.code = code;
  f.data[0] = 0x85;  // bit 7 in the data: byte 10 carries it
  Bytes out(12);
  varnoFrameEncode(&f, out.data());
  return out;
}

class Cutter : public ::testing::Test {
 protected:
  // Feeds `bytes` as one read, `after` later than the previous one.
  void feed(const Bytes& bytes, std::chrono::microseconds after = 0us) {
    now_ += after;
    cutter_.feed(bytes.data(), bytes.size(), {now_, {}});
  }
  void wait(std::chrono::microseconds time) {
    now_ += time;
    cutter_.tick(now_);
  }
  // "frame" or the fault, with the bytes: one string per event.
  std::vector<std::string> events() const { return events_; }

  std::chrono::steady_clock::time_point now_{};
  std::vector<std::string> events_;
  std::vector<std::chrono::steady_clock::time_point> times_;
  FrameCutter cutter_{10ms, [this](const BusEvent& e) {
                        events_.push_back(std::string(busFaultText(e.fault)) + " " +
                                          hexText(e.bytes.data(), e.bytes.size()));
                        times_.push_back(e.at.steady);
                      }};
};

std::string shown(const char* what, const Bytes& bytes) {
  return std::string(what) + " " + hexText(bytes.data(), bytes.size());
}

TEST_F(Cutter, BackToBackFramesInOneReadAndSplitOverReads) {
  const Bytes command = frameBytes(5, 31, 3), reply = frameBytes(31, 5, 3);
  Bytes both = command;
  both.insert(both.end(), reply.begin(), reply.end());
  feed(both);
  // A frame in three pieces, each within the silence limit; its time is its first byte's.
  feed(Bytes(command.begin(), command.begin() + 4), 20ms);
  const auto first_byte = now_;
  feed(Bytes(command.begin() + 4, command.begin() + 8), 9ms);
  feed(Bytes(command.begin() + 8, command.end()), 9ms);
  EXPECT_EQ(events(), (std::vector<std::string>{shown("frame", command), shown("frame", reply),
                                                shown("frame", command)}));
  EXPECT_EQ(times_.back(), first_byte);
}

TEST_F(Cutter, FaultsAreNamed) {
  const Bytes good = frameBytes(5, 31);
  Bytes bad_crc = good;
  bad_crc[11] ^= 0x01;
  feed(bad_crc);
  // Cut short by the next start mark, and by silence.
  feed(Bytes(good.begin(), good.begin() + 5));
  feed(good);
  feed(Bytes(good.begin(), good.begin() + 7));
  wait(10ms);
  EXPECT_EQ(events().size(), 3u) << "10 ms exactly is not yet a cut";
  wait(1ms);
  // A frame split by a gap longer than the limit: cut short, then stray bytes.
  feed(Bytes(good.begin(), good.begin() + 6), 1ms);
  feed(Bytes(good.begin() + 6, good.end()), 11ms);
  // Noise between frames, then a frame.
  feed({0x01, 0x02, 0x7F}, 20ms);
  feed(good);
  EXPECT_EQ(events(), (std::vector<std::string>{
                          shown("bad CRC", bad_crc),
                          shown("cut short", Bytes(good.begin(), good.begin() + 5)),
                          shown("frame", good),
                          shown("cut short", Bytes(good.begin(), good.begin() + 7)),
                          shown("cut short", Bytes(good.begin(), good.begin() + 6)),
                          shown("stray bytes", Bytes(good.begin() + 6, good.end())),
                          shown("stray bytes", {0x01, 0x02, 0x7F}),
                          shown("frame", good),
                      }));
}

TEST_F(Cutter, EndlessNoiseIsReportedInBoundedPieces) {
  feed(Bytes(FrameCutter::kStrayLimit * 2 + 3, 0x55));
  cutter_.flush();
  ASSERT_EQ(events().size(), 3u);
  EXPECT_EQ(events()[2], shown("stray bytes", Bytes(3, 0x55)));
  EXPECT_EQ(cutter_.deadline(), std::chrono::steady_clock::time_point::max());
}

}  // namespace
}  // namespace varno::tool
