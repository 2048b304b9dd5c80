// The link over a real terminal against simulated devices: what goes on the wire, every outcome
// a device can provoke, open and close. Runs natively and, in the Windows build, under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "support/callback_recorder.h"
#include "support/diagnostic_log.h"
#include "support/test_line.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One simulator serves every test under Wine: let the stragglers of the last test's cut
    // replies land first (the open throws them away).
    if (!TestLine::kNative) std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(line.open()) << line.port();
  }
  void TearDown() override { closeConnection(); }

  // One transaction, waited for; its single callback.
  Call exchange(std::uint8_t dest, std::uint8_t code = 3, std::uint8_t param = 0x85,
                std::uint32_t reply_timeout = 1000) {
    const std::size_t before = recorder.count();
    const std::uint8_t data[4] = {0xFF, 0x80, 0x01, 0x02};
    EXPECT_EQ(varnoSendCommand(dest, kHost, code, param, data, 100, reply_timeout,
                               &CallbackRecorder::callback, true),
              0);
    EXPECT_EQ(recorder.count(), before + 1) << "exactly one callback per transaction";
    EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
    const auto calls = recorder.calls();
    return calls.empty() ? Call{} : calls.back();
  }

  void expectNoReply(const Call& c, std::uint8_t dest, std::int32_t outcome) {
    EXPECT_EQ(c.error_status, outcome) << "device " << int(dest);
    EXPECT_EQ(c.dest, kHost);
    EXPECT_EQ(c.source, dest);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.error, 0);
    EXPECT_EQ(c.data, (std::array<std::uint8_t, 4>{0xFF, 0x80, 0x01, 0x02}));
  }

  TestLine line;
  DiagnosticLog log;
  CallbackRecorder recorder;
};

TEST_F(LinkTest, ValidReplyArrivesWithItsFieldsAndTheStartMark) {
  Call c = exchange(kAnswers, 3, 0x85);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(c.dest, 0x80 | kHost);  // as received: the start mark is still there
  EXPECT_EQ(c.source, kAnswers);
  EXPECT_EQ(c.code, 3);
  EXPECT_EQ(c.param, 0x85);
  EXPECT_EQ(c.data, (std::array<std::uint8_t, 4>{0xFF, 0x80, 0x01, 0x02}));
  EXPECT_NE(c.thread, std::this_thread::get_id());

  c = exchange(kCustomFields, 0x7F, 0xFF);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(c.status, 17);
  EXPECT_EQ(c.error, 34);
  EXPECT_EQ(c.code, 0x7F);
  EXPECT_EQ(c.param, 0xFF);
  EXPECT_EQ(varnoDataToUInt(c.data.data()), 0x02003039u);

  // A valid frame is a valid reply, whoever it is addressed to.
  c = exchange(kOtherAddress);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(c.dest, 0x80 | 9);
  EXPECT_TRUE(log.take().empty());
}

TEST_F(LinkTest, SilenceEndsWithNoReplyAfterTheReplyTimeout) {
  auto start = Clock::now();
  expectNoReply(exchange(kSilent, 3, 0x85, 150), kSilent, kNoReply);
  EXPECT_GE(Clock::now() - start, 149ms);  // a millisecond clock: up to 1 ms short

  start = Clock::now();
  expectNoReply(exchange(kSilent, 3, 0x85, 0), kSilent, kNoReply);
  EXPECT_LT(Clock::now() - start, 2s);
  // A command to an address nobody has: the same.
  expectNoReply(exchange(77, 3, 0x85, 100), 77, kNoReply);
}

TEST_F(LinkTest, RepliesThatAreNotFramesAreRejected) {
  expectNoReply(exchange(kBadCrc), kBadCrc, kReplyInvalid);
  // Five bytes, then silence: the read ends after the inter-byte limit with what came.
  expectNoReply(exchange(kShort), kShort, kReplyInvalid);
  // Five bytes that, zero-filled to twelve, would pass every check of a frame.
  expectNoReply(exchange(kZeroTailPrefix), kZeroTailPrefix, kReplyInvalid);
  // A gap longer than the inter-byte limit cuts the reply.
  expectNoReply(exchange(kSplitLongGap), kSplitLongGap, kReplyInvalid);
}

TEST_F(LinkTest, ReplyInPiecesWithShortGapsArrivesWhole) {
  // On a loaded machine the simulator itself may be held up between two pieces for longer than
  // the inter-byte limit; a reply cut then is not the library's doing. Natively its own record
  // tells; under Wine (a simulator in another process) one clean round in three must do.
  for (int round = 0; round < 3; ++round) {
#if !defined(_WIN32)
    line.sim().clearLog();
#endif
    const Call c = exchange(kSplitShortGaps);
    if (c.error_status == 0) {
      EXPECT_EQ(c.source, kSplitShortGaps);
      return;
    }
    EXPECT_EQ(c.error_status, kReplyInvalid);
#if !defined(_WIN32)
    ASSERT_TRUE(line.sim().waitUntilIdle(1, 5s));
    const auto answers = line.sim().answers();
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_GE(answers[0].longestSilenceBound(), 9ms)
        << "a reply in pieces was cut though no gap between them came near the limit";
#endif
  }
  ADD_FAILURE() << "three rounds, each cut";
}

TEST_F(LinkTest, LateBytesOfAnEarlierReplyDoNotReachTheNextCommand) {
  // A reply that comes too late waits in the driver...
  expectNoReply(exchange(kLate, 3, 0x85, 100), kLate, kNoReply);
  std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs + 100));
  // ...and is thrown away before the next command goes out; so is the rest of a cut reply.
  expectNoReply(exchange(kSplitLongGap), kSplitLongGap, kReplyInvalid);
  std::this_thread::sleep_for(100ms);
  const Call c = exchange(kAnswers);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(c.source, kAnswers);

  // Given time enough, the late device is answered.
  EXPECT_EQ(exchange(kLate, 3, 0x85, kLateMs + 1000).error_status, 0);
}

TEST_F(LinkTest, WithoutCallbackTheCommandGoesOutAndNothingIsRead) {
  const std::uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, data, 100, 1000, nullptr, true), 0);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
  EXPECT_EQ(log.take(), Texts{"\n CallBackFunc not defined"});
  // The reply it did not wait for comes meanwhile (nothing can tell it from the next command's
  // reply once that command is out) and is thrown away with the next command.
  std::this_thread::sleep_for(200ms);
  const Call c = exchange(kCustomFields);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(c.source, kCustomFields);
}

TEST_F(LinkTest, SendResults) {
  EXPECT_EQ(
      varnoSendCommand(kAnswers, kHost, 0, 0, nullptr, 100, 100, &CallbackRecorder::callback, true),
      2);
  EXPECT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, nullptr, 100, 100, nullptr, true), 2);
  std::atomic<std::int32_t> inner{-1};
  recorder.setDuring([&](const Call&) {
    const std::uint8_t data[4] = {};
    inner = varnoSendCommand(kAnswers, kHost, 0, 0, data, 100, 1000, &CallbackRecorder::callback,
                             false);
  });
  exchange(kAnswers);
  EXPECT_EQ(inner.load(), 1);
  closeConnection();
  const std::uint8_t data[4] = {};
  EXPECT_EQ(
      varnoSendCommand(kAnswers, kHost, 0, 0, data, 100, 100, &CallbackRecorder::callback, true),
      1);
  EXPECT_EQ(recorder.count(), 1u);
}

TEST_F(LinkTest, OpenRefusalsAndReopening) {
  // An empty name: false, silently, and the open connection stays.
  EXPECT_FALSE(varnoOpenSerialPort("", 38400));
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
  EXPECT_TRUE(log.take().empty());

  // Opening again closes first.
  ASSERT_TRUE(line.open());
  EXPECT_EQ(log.take(), kCloseTexts);
  EXPECT_EQ(exchange(kAnswers).error_status, 0);

  // A port that does not exist.
  const std::string missing = TestLine::kNative ? "/nonexistent/ttyVARNO" : "COM9";
  EXPECT_FALSE(openConnection(missing, 38400, line.options()));
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kClosed);
  const Texts texts = log.take();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "\n openInterface INVALID_HANDLE_VALUE");
}

TEST_F(LinkTest, CloseDuringTheWaitForTheFirstByteStillCallsBack) {
  const std::uint8_t data[4] = {};
  ASSERT_EQ(
      varnoSendCommand(kSilent, kHost, 0, 0, data, 100, 300, &CallbackRecorder::callback, false),
      0);
  const auto deadline = Clock::now() + 5s;
  while (varnoGetSerialPortCurrentState() != kAwaitingReply && Clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  varnoCloseSerialPort();
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(recorder.calls()[0].error_status, kNoReply);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kClosed);
  EXPECT_EQ(log.take(), kCloseTexts);
}

TEST_F(LinkTest, CloseFromAnotherThreadReleasesAWaitingSender) {
  std::atomic<std::int32_t> result{-1};
  std::thread sender([&] {
    const std::uint8_t data[4] = {};
    result =
        varnoSendCommand(kSilent, kHost, 0, 0, data, 100, 400, &CallbackRecorder::callback, true);
  });
  std::this_thread::sleep_for(50ms);
  varnoCloseSerialPort();
  sender.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kClosed);
}

TEST_F(LinkTest, ABlockedCallbackIsLeftBehindAndThePortOpensAgainAtOnce) {
  std::atomic<bool> inside{false};
  std::atomic<bool> released{false};
  recorder.setDuring([&](const Call&) {
    inside = true;
    std::this_thread::sleep_for(2s);
    released = true;
  });
  const std::uint8_t data[4] = {};
  ASSERT_EQ(
      varnoSendCommand(kAnswers, kHost, 0, 0, data, 100, 1000, &CallbackRecorder::callback, false),
      0);
  while (!inside) std::this_thread::sleep_for(1ms);

  const auto start = Clock::now();
  varnoCloseSerialPort();
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 1900ms);
  EXPECT_FALSE(released.load());
  EXPECT_EQ(log.take(),
            (Texts{"\n !!! closeInterface thread is terminated !!!",
                   "\n closeInterface I/O is canceled", "\n interface has been closed"}));

  // The same port, at once, while the old callback still sleeps.
  ASSERT_TRUE(line.open());
  while (!released) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(recorder.count(), 1u);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
  recorder.setDuring([](const Call&) {});
  const Call c = exchange(kAnswers);
  EXPECT_EQ(c.error_status, 0);
  EXPECT_EQ(recorder.count(), 2u);
  EXPECT_TRUE(log.take().empty());
}

}  // namespace
}  // namespace varno::test
