#include "simulator.h"

#include <gtest/gtest.h>

#include <memory>

#include "sim_test_support.h"

namespace varno::sim {
namespace {

using namespace varno::sim::testing;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

// Long enough that an answer that was going to come has come, even on a loaded machine.
constexpr milliseconds kQuiet(150);
constexpr milliseconds kPatience(5000);

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes head(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + n);
}

// A simulator with the client's end of its line open; most tests talk to one device at 3.
class SimulatorLine : public ::testing::Test {
 protected:
  const CommandRecord cmd_ = command(3, 0x10, 0x42, 0x85, {0x81, 0x02, 0xFF, 0x7F});
  Simulator sim_;
  Terminal line_{sim_.path()};
};

class SimulatorAnswers : public SimulatorLine {};
class SimulatorFaults : public SimulatorLine {};
class SimulatorLog : public SimulatorLine {};

TEST_F(SimulatorAnswers, SwapsAddressesAndEchoesCodeParamAndData) {
  sim_.setDevice(3);
  line_.write(encode(cmd_));  // bit 7 in param and data: carried by the collector byte
  EXPECT_EQ(line_.readBytes(12), encode(reply(cmd_, 3)));
  line_.expectSilence(kQuiet);
  EXPECT_EQ(sim_.answersStarted(), 1u);
}

TEST_F(SimulatorAnswers, StatusErrorDataAndDestComeFromTheBehaviour) {
  DeviceBehaviour b;
  b.status = 0x81;
  b.error = 0x05;
  b.data = std::array<std::uint8_t, 4>{1, 2, 3, 0xF4};
  b.reply_dest = 0x22;
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  CommandRecord want = reply(cmd_, 3);
  want.dest = 0x22;
  want.status = 0x81;
  want.error = 0x05;
  std::copy(b.data->begin(), b.data->end(), want.data_arr);
  EXPECT_EQ(line_.readBytes(12), encode(want));
}

TEST_F(SimulatorAnswers, RawReplyIsSentVerbatim) {
  DeviceBehaviour b;
  b.raw_reply = Bytes{0x01, 0x82, 0x7F, 0xFF, 0x00};
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  EXPECT_EQ(line_.readBytes(5), *b.raw_reply);
  line_.expectSilence(kQuiet);
}

TEST_F(SimulatorAnswers, CommandsArrivingTogetherAreAnsweredInOrder) {
  sim_.setDevice(1);
  sim_.setDevice(2);
  const CommandRecord first = command(1, 0x30, 0x01);
  const CommandRecord second = command(2, 0x30, 0x02);
  line_.write(concat(encode(first), encode(second)));
  EXPECT_EQ(line_.readBytes(24), concat(encode(reply(first, 1)), encode(reply(second, 2))));
  EXPECT_EQ(sim_.answersStarted(), 2u);
}

TEST_F(SimulatorAnswers, NoAnswerWithoutADeviceFromSilentOrRemovedOnesOrToInvalidFrames) {
  sim_.setDevice(1);
  DeviceBehaviour silent;
  silent.silent = true;
  sim_.setDevice(2, silent);
  sim_.setDevice(4);
  sim_.removeDevice(4);

  Bytes bad_crc = encode(command(1, 0, 0x01));
  bad_crc[11] ^= 0x01;
  line_.write(concat(concat(encode(command(5, 0, 1)), encode(command(2, 0, 1))),
                     concat(encode(command(4, 0, 1)), bad_crc)));
  ASSERT_TRUE(sim_.waitForFrames(4, kPatience));
  line_.expectSilence(kQuiet);
  EXPECT_EQ(sim_.answersStarted(), 0u);

  // The same device still answers a good frame: the silence above was not a dead line.
  const CommandRecord good = command(1, 0, 0x01);
  line_.write(encode(good));
  EXPECT_EQ(line_.readBytes(12), encode(reply(good, 1)));
}

TEST_F(SimulatorFaults, ShortAnswerSendsOnlyItsFirstBytes) {
  DeviceBehaviour b;
  b.truncate_to = 5;
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  EXPECT_EQ(line_.readBytes(5), head(encode(reply(cmd_, 3)), 5));
  line_.expectSilence(kQuiet);
}

TEST_F(SimulatorFaults, BadCrcAnswerDiffersOnlyInItsCrcByte) {
  DeviceBehaviour b;
  b.corrupt_crc = true;
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  const Bytes good = encode(reply(cmd_, 3));
  const Bytes got = line_.readBytes(12);
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(head(got, 11), head(good, 11));
  EXPECT_NE(got[11], good[11]);
  EXPECT_EQ(got[11] & 0x80, 0);  // otherwise it would read as the start of a frame
}

TEST_F(SimulatorFaults, SplitAnswerArrivesInPiecesWithGapsBetween) {
  constexpr milliseconds kGap(60);
  DeviceBehaviour b;
  b.pieces = {4, 4};  // the last four bytes are the rest, a third piece
  b.gap_ms = kGap.count();
  sim_.setDevice(3, b);
  const Clock::time_point written = Clock::now();
  line_.write(encode(cmd_));
  const std::vector<Arrival> got = line_.read(12, kPatience);
  ASSERT_EQ(bytesOf(got), encode(reply(cmd_, 3)));
  // Two gaps stand between the command and the last piece, however late the reader is.
  EXPECT_GE(got[11].at - written, 2 * kGap);
  // A reader delayed by more than half a gap could see less of one, hence only half.
  EXPECT_GE(got[4].at - got[3].at, kGap / 2);
  EXPECT_GE(got[8].at - got[7].at, kGap / 2);
}

TEST_F(SimulatorFaults, LateAnswerWaitsForItsDelay) {
  constexpr milliseconds kDelay(300);
  DeviceBehaviour b;
  b.delay_ms = kDelay.count();
  sim_.setDevice(3, b);
  const Clock::time_point written = Clock::now();
  line_.write(encode(cmd_));
  ASSERT_TRUE(sim_.waitForFrames(1, kPatience));
  const std::size_t started = sim_.answersStarted();
  if (Clock::now() - written < kDelay) {  // read before the delay could have run out
    EXPECT_EQ(started, 0u);
  }
  const std::vector<Arrival> got = line_.read(12, kPatience);
  ASSERT_EQ(bytesOf(got), encode(reply(cmd_, 3)));
  EXPECT_GE(got[0].at - written, kDelay);
  EXPECT_EQ(sim_.answersStarted(), 1u);
}

TEST_F(SimulatorFaults, UnsolicitedBytesGoOutAtOnceEvenDuringADelay) {
  sim_.send({0x55, 0x81});
  EXPECT_EQ(line_.readBytes(2), (Bytes{0x55, 0x81}));
  EXPECT_TRUE(sim_.received().empty());  // not echoed back onto the line

  DeviceBehaviour b;
  b.delay_ms = 400;
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  ASSERT_TRUE(sim_.waitForFrames(1, kPatience));
  sim_.send({0x11, 0x22});
  EXPECT_EQ(line_.readBytes(14), concat({0x11, 0x22}, encode(reply(cmd_, 3))));
}

// After a hang-up the terminal reports end of file or EIO on read, and POLLHUP on poll.
void expectHungUp(Terminal& line) {
  pollfd p{line.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  std::uint8_t byte;
  const ssize_t n = ::read(line.fd(), &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << "read gave " << n;
}

TEST_F(SimulatorFaults, DeviceHangsUpAfterPartOfItsAnswer) {
  DeviceBehaviour b;
  b.hang_up_after = 5;
  sim_.setDevice(3, b);
  line_.write(encode(cmd_));
  EXPECT_EQ(line_.readBytes(5), head(encode(reply(cmd_, 3)), 5));
  expectHungUp(line_);
  EXPECT_TRUE(sim_.hungUp());
}

TEST_F(SimulatorFaults, HangUpIsSeenByTheClientAndEndsTheLine) {
  EXPECT_FALSE(sim_.hungUp());
  sim_.hangUp();
  EXPECT_TRUE(sim_.hungUp());
  expectHungUp(line_);
  sim_.send({0x01});  // nowhere to go: must return rather than wait
  sim_.hangUp();      // and a second hang-up is harmless
}

TEST_F(SimulatorFaults, ClientClosingTheTerminalIsNoHangUp) {
  sim_.setDevice(3);
  { Terminal other(sim_.path()); }  // opened and closed while line_ stays open
  Terminal second(sim_.path());
  second.write(encode(cmd_));
  EXPECT_EQ(second.readBytes(12), encode(reply(cmd_, 3)));
  EXPECT_FALSE(sim_.hungUp());
}

TEST_F(SimulatorLog, RecordsEveryByteAndTheFramesAmongThem) {
  sim_.setDevice(9);
  const Bytes cut_short = head(encode(command(1, 2, 3)), 6);
  const Bytes frame_b = encode(command(9, 8, 7, 0x80, {1, 2, 3, 4}));
  Bytes frame_c = encode(command(4, 5, 6));
  frame_c[5] ^= 0x01;  // broken, but still a frame on the line
  const Bytes stream = concat(concat({0x01, 0x7F}, cut_short), concat(frame_b, frame_c));
  line_.write(stream);

  ASSERT_TRUE(sim_.waitForFrames(2, kPatience));
  EXPECT_EQ(line_.readBytes(12).size(), 12u);  // frame_b is answered; answers are not logged
  EXPECT_EQ(sim_.received(), stream);
  const std::vector<Frame> frames = sim_.receivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].end()), frame_b);
  EXPECT_EQ(Bytes(frames[1].begin(), frames[1].end()), frame_c);

  sim_.clearLog();
  EXPECT_TRUE(sim_.received().empty());
  EXPECT_TRUE(sim_.receivedFrames().empty());
  EXPECT_EQ(sim_.answersStarted(), 0u);
  EXPECT_FALSE(sim_.waitForFrames(1, milliseconds(20)));
}

TEST(SimulatorPacing, ExchangeTakesTwentyFourByteTimes) {
  Simulator sim(38400);
  sim.setDevice(1);
  Terminal line(sim.path());
  const CommandRecord cmd = command(1, 0, 0x01);
  const Clock::time_point written = Clock::now();
  line.write(encode(cmd));
  const std::vector<Arrival> got = line.read(12, kPatience);
  ASSERT_EQ(bytesOf(got), encode(reply(cmd, 1)));
  // 24 byte times of 260 us; allow for the clock's and the scheduler's rounding, not more.
  EXPECT_GE(got.back().at - written, std::chrono::microseconds(6000));
  EXPECT_GE(got.front().at - written, std::chrono::microseconds(3000));  // 13 byte times

  sim.setPacing(9600);  // 24 byte times of 1.04 ms
  const Clock::time_point again = Clock::now();
  line.write(encode(cmd));
  const std::vector<Arrival> slower = line.read(12, kPatience);
  ASSERT_EQ(bytesOf(slower), encode(reply(cmd, 1)));
  EXPECT_GE(slower.back().at - again, milliseconds(24));
}

TEST(SimulatorPacing, DestructorInterruptsALongDelayOrGap) {
  constexpr milliseconds kLong(20000);
  for (const bool in_gap : {false, true}) {
    SCOPED_TRACE(in_gap ? "gap" : "delay");
    auto sim = std::make_unique<Simulator>();
    DeviceBehaviour b;
    b.pieces = {1};
    (in_gap ? b.gap_ms : b.delay_ms) = kLong.count();
    sim->setDevice(1, b);
    Terminal line(sim->path());
    line.write(encode(command(1, 0, 0x01)));
    if (in_gap) {
      ASSERT_EQ(line.readBytes(1).size(), 1u);
    } else {
      ASSERT_TRUE(sim->waitForFrames(1, kPatience));
    }
    const Clock::time_point start = Clock::now();
    sim.reset();
    EXPECT_LT(Clock::now() - start, kLong / 4);
  }
}

}  // namespace
}  // namespace varno::sim
