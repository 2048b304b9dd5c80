// A device that stalls in the middle of its reply for longer than the inter-byte limit, so that
// the rest of its answer arrives late, at every byte position (position 0: the whole reply late).
// The stalled transaction fails; a transaction the late rest overlaps may fail too, or take a
// frame a device did send whole; the first transaction that starts on a quiet line, with the rest
// arrived and thrown away, gets its own reply.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "soak_support.h"
#include "support/diagnostic_log.h"

namespace varno::soak {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kStalling = 5;
constexpr std::uint8_t kAnswering = 6;
constexpr std::uint8_t kSilent = 7;
constexpr std::uint8_t kHost = 31;
constexpr std::uint32_t kStallMs = 50;
constexpr std::uint32_t kStalledReplyTimeoutMs = 60;
// Long enough that a late rest lands within the wait of a command sent straight after.
constexpr std::uint32_t kNextReplyTimeoutMs = 500;
constexpr milliseconds kDeliveryMargin(5);
constexpr milliseconds kPatience(10000);

// What comes after the stalled transaction.
enum class Next {
  kOnQuietLine,        // waits until the rest has arrived, then asks the answering device
  kAtOnceToAnswering,  // asks the answering device at once: the rest lands in that wait
  kAtOnceToSilent,     // asks a silent device at once: the same, with nothing else to read
};

struct Transaction {
  Request request;
  Sent sent;
  Seen seen{};
};

class SoakStallRecovery : public ::testing::TestWithParam<std::tuple<int, Next>> {
 protected:
  void TearDown() override { varnoCloseSerialPort(); }

  // The whole story once, on a new line. `whole`: the stalled transaction still got the device's
  // whole frame, which only a library held up across the entire stall may do.
  void attempt(bool& whole);

  void run(std::uint8_t device, std::uint32_t reply_timeout_ms) {
    Transaction t;
    const auto n = static_cast<std::uint8_t>(done_.size());
    t.request.dest = device;
    t.request.source = kHost;
    t.request.code = 3;
    t.request.param = static_cast<std::uint8_t>(0x80 | n);
    t.request.data = {0xA5, n, 0x5A, n};  // tells every command, and every echo, apart
    t.request.reply_timeout_ms = reply_timeout_ms;
    callbacks_.begin(done_.size());
    t.sent = send(callbacks_, t.request, false, kPatience);
    ASSERT_EQ(t.sent.result, kSendStarted);
    ASSERT_TRUE(t.sent.called_back);
    ASSERT_TRUE(t.sent.idle_again);
    std::vector<Seen> seen;
    callbacks_.take(seen);
    ASSERT_EQ(seen.size(), 1u) << "transaction " << done_.size();
    t.seen = seen[0];
    done_.push_back(t);
  }

  // Whether transaction `k` started with every answer to an earlier command already written, so
  // that the purge before its command threw away whatever of them was left.
  bool startedQuiet(std::size_t k, const std::vector<sim::AnswerRecord>& answers) const {
    for (std::size_t j = 0; j < k; ++j) {
      const sim::AnswerRecord* a = answerTo(answers, commandFrame(done_[j].request));
      if (a == nullptr) continue;
      for (const sim::AnswerRecord::Write& w : a->writes) {
        if (w.done >= done_[k].sent.sent) return false;
      }
    }
    return true;
  }

  // Whether any answer byte was written after `t`'s purge and well before it could give up.
  bool byteInTime(const Transaction& t, const std::vector<sim::AnswerRecord>& answers) const {
    const Clock::time_point give_up = giveUpFrom(t.request, t.sent) - kDeliveryMargin;
    for (const sim::AnswerRecord& a : answers) {
      for (const sim::AnswerRecord::Write& w : a.writes) {
        if (w.begun >= t.sent.returned && w.done <= give_up) return true;
      }
    }
    return false;
  }

  std::string history(const std::vector<sim::AnswerRecord>& answers) const {
    std::string out;
    const Clock::time_point origin = done_.front().sent.sent;
    for (std::size_t k = 0; k < done_.size(); ++k) {
      const Transaction& t = done_[k];
      char line[120];
      std::snprintf(line, sizeof line, "\n  #%zu to %u, sent %.2f ms, returned %.2f ms, ", k,
                    t.request.dest,
                    std::chrono::duration<double, std::milli>(t.sent.sent - origin).count(),
                    std::chrono::duration<double, std::milli>(t.sent.returned - origin).count());
      out += line + describe(t.seen);
      if (const sim::AnswerRecord* a = answerTo(answers, commandFrame(t.request))) {
        out += "\n     answered:" + timings(*a, origin);
      }
    }
    return out;
  }

  std::unique_ptr<sim::Simulator> sim_;
  test::DiagnosticLog log_;
  Callbacks callbacks_;
  std::vector<Transaction> done_;
};

void SoakStallRecovery::attempt(bool& whole) {
  const auto [position, next] = GetParam();
  varnoCloseSerialPort();
  log_.take();
  done_.clear();
  sim_ = std::make_unique<sim::Simulator>();
  sim::DeviceBehaviour stalling;
  if (position == 0) {
    stalling.delay_ms = kStalledReplyTimeoutMs + kStallMs;
  } else {
    stalling.pieces = {static_cast<std::size_t>(position),
                       kFrameSize - static_cast<std::size_t>(position)};
    stalling.gap_ms = kStallMs;
  }
  sim_->setDevice(kStalling, stalling);
  sim_->setDevice(kAnswering);
  sim::DeviceBehaviour silent;
  silent.silent = true;
  sim_->setDevice(kSilent, silent);
  ASSERT_TRUE(varnoOpenSerialPort(sim_->path(), 38400));

  ASSERT_NO_FATAL_FAILURE(run(kStalling, kStalledReplyTimeoutMs));
  if (next == Next::kOnQuietLine) {
    ASSERT_TRUE(sim_->waitUntilIdle(1, kPatience));
    ASSERT_NO_FATAL_FAILURE(run(kAnswering, kNextReplyTimeoutMs));
  } else {
    ASSERT_NO_FATAL_FAILURE(
        run(next == Next::kAtOnceToSilent ? kSilent : kAnswering, kNextReplyTimeoutMs));
    ASSERT_NO_FATAL_FAILURE(run(kAnswering, kNextReplyTimeoutMs));
  }
  // One more on a line certainly quiet.
  ASSERT_TRUE(sim_->waitUntilIdle(done_.size(), kPatience));
  ASSERT_NO_FATAL_FAILURE(run(kAnswering, kNextReplyTimeoutMs));
  ASSERT_TRUE(sim_->waitUntilIdle(done_.size(), kPatience));
  const std::vector<sim::AnswerRecord> answers = sim_->answers();
  SCOPED_TRACE(history(answers));
  EXPECT_EQ(callbacks_.count(), 0u) << "a callback after its transaction";
  EXPECT_EQ(log_.take(), test::Texts{});

  // The stalled transaction. The library could only have read across the stall had it been
  // held up itself; then it must have the whole frame the device sent.
  const Transaction& stalled = done_.front();
  const sim::AnswerRecord* stalled_answer = answerTo(answers, commandFrame(stalled.request));
  ASSERT_NE(stalled_answer, nullptr);
  const bool first_byte_late = !stalled_answer->writes.empty() &&
                               stalled_answer->writes.front().done >
                                   giveUpFrom(stalled.request, stalled.sent) - kDeliveryMargin;
  if (stalled.seen.outcome == kReplyValid) {
    EXPECT_TRUE(isReplyOf(stalled.seen, stalled_answer->bytes));
    whole = true;
  } else if (position == 0 || (stalled.seen.outcome == kNoReply && first_byte_late)) {
    EXPECT_EQ(checkFailure(stalled.seen, stalled.request, kNoReply), "");
  } else {
    EXPECT_EQ(checkFailure(stalled.seen, stalled.request, kReplyInvalid), "");
  }

  bool quiet_seen = false;
  for (std::size_t k = 1; k < done_.size(); ++k) {
    const Transaction& t = done_[k];
    const sim::AnswerRecord* own = answerTo(answers, commandFrame(t.request));
    if (startedQuiet(k, answers)) {
      quiet_seen = true;
      if (t.request.dest == kSilent) {
        EXPECT_EQ(checkFailure(t.seen, t.request, kNoReply), "") << "#" << k;
        continue;
      }
      ASSERT_NE(own, nullptr) << "#" << k;
      if (t.seen.outcome == kNoReply && !byteInTime(t, answers)) {
        // The device itself was held up past the reply time-out.
        EXPECT_EQ(checkFailure(t.seen, t.request, kNoReply), "") << "#" << k;
        continue;
      }
      EXPECT_TRUE(isReplyOf(t.seen, own->bytes)) << "#" << k << " started on a quiet line";
      continue;
    }
    // Overlapped by what was still to come: a failure, or a frame some device sent whole.
    if (t.seen.outcome == kReplyValid) {
      bool sent_whole = false;
      for (const sim::AnswerRecord& a : answers) {
        if (isReplyOf(t.seen, a.bytes)) sent_whole = true;
      }
      EXPECT_TRUE(sent_whole) << "#" << k << ": fields no device sent as one frame";
    } else if (t.seen.outcome == kNoReply) {
      EXPECT_FALSE(byteInTime(t, answers)) << "#" << k << ": bytes came, yet no reply reported";
      EXPECT_EQ(checkFailure(t.seen, t.request, kNoReply), "") << "#" << k;
    } else {
      EXPECT_EQ(checkFailure(t.seen, t.request, kReplyInvalid), "") << "#" << k;
    }
  }
  EXPECT_TRUE(quiet_seen);
  EXPECT_TRUE(startedQuiet(done_.size() - 1, answers));
}

TEST_P(SoakStallRecovery, TheFirstTransactionOnAQuietLineGetsItsReply) {
  // Held up across the whole stall, the library reads the reply whole, and that is no fault; a
  // library that does so every time keeps no inter-byte limit (or, at position 0, no time-out).
  constexpr int kAttempts = 3;
  for (int i = 0; i < kAttempts; ++i) {
    bool whole = false;
    ASSERT_NO_FATAL_FAILURE(attempt(whole));
    if (!whole) return;
  }
  FAIL() << "the stalled reply came back whole " << kAttempts << " times in a row";
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<int, Next>>& info) {
  static const char* const kNext[] = {"ThenQuietLine", "ThenAnsweringAtOnce", "ThenSilentAtOnce"};
  const int position = std::get<0>(info.param);
  return (position == 0 ? std::string("LateReply") : "StallAfterByte" + std::to_string(position)) +
         kNext[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, SoakStallRecovery,
                         ::testing::Combine(::testing::Range(0, 12),
                                            ::testing::Values(Next::kOnQuietLine,
                                                              Next::kAtOnceToAnswering,
                                                              Next::kAtOnceToSilent)),
                         caseName);

}  // namespace
}  // namespace varno::soak
