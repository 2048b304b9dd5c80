// Many transactions against simulated devices that go wrong in every way a line allows, chosen
// at random. Each must end in exactly one callback, during that transaction, with the outcome and
// the fields the line called for; a vanished device comes back on a new line and the port is
// opened again. At the end the process holds no more memory, descriptors or threads than before.
//
// Where an outcome depends on timing, the simulator's record of when it actually wrote is what
// decides: under load its thread may be held up for a long while, and a late device is no fault
// of the library's. Every use of such an allowance is counted and printed.
//
// Environment: VARNO_SOAK_COUNT (10000 transactions), VARNO_SOAK_SEED (random; printed),
// VARNO_SOAK_SECONDS (150: stops there even short of the count), VARNO_SOAK_REPLY_TIMEOUT_MS (40),
// VARNO_SOAK_VERBOSE (1: prints every transaction that needed an allowance, with its line record).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdlib>
#include <memory>
#include <random>

#include "soak_support.h"
#include "support/diagnostic_log.h"

namespace varno::soak {
namespace {

using test::DiagnosticLog;
using test::Texts;

enum Fault : int {
  kAnswered,
  kAnsweredSlowly,
  kSilent,
  kLate,
  kShort,
  kBadCrc,
  kSplitShortGaps,
  kSplitLongGap,
  kOtherAddress,
  kVanishMidReply,
  kVanishBeforeReply,
  kFaultCount,
};

struct FaultKind {
  const char* name;
  int weight;  // the slow ones (silence, lateness, long gaps) rarer, to keep the run short
};
constexpr FaultKind kFaults[kFaultCount] = {
    {"answered at once", 40},
    {"answered slowly", 4},
    {"silent", 8},
    {"late", 4},
    {"short", 9},
    {"corrupt CRC", 9},
    {"split, short gaps", 10},
    {"split, long gap", 8},
    {"other address", 6},
    {"vanishes mid-reply", 3},
    {"vanishes before reply", 3},
};

// Outcomes other than the plain one for the fault, each allowed only where the line record (or,
// for the last two, the library's own scheduling, which the test cannot see) explains it.
enum Allowance : int {
  kCommandHeldBack,
  kDeviceTooLate,
  kPiecesOverLimit,
  kHangUpAfterLimit,
  kLateReplyTaken,
  kLongGapBridged,
  kAllowanceCount,
};
constexpr const char* kAllowances[kAllowanceCount] = {
    "device read the command only as the library's reply wait ended: 3",
    "device answered (or vanished) only near or after the reply time-out: 3",
    "device's pieces went out further apart than the inter-byte limit: 5",
    "line went away only after the inter-byte limit: 5",
    "library, itself held up, still found the late reply: 0",
    "library, itself held up, read across the long gap: 0",
};

constexpr std::uint32_t kBaud = 38400;
// How much earlier than the library's give-up a device's first byte must have been written for a
// missed reply to count against the library.
constexpr milliseconds kDeliveryMargin(5);
constexpr milliseconds kInterByteLimit(kInterByteTimeoutMs);
constexpr milliseconds kPatience(10000);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// ASan holds freed memory back in its quarantine, TSan shadows whatever is touched.
constexpr long kRssGrowthLimitKiB = 64 * 1024;
#else
constexpr long kRssGrowthLimitKiB = 8 * 1024;
#endif

std::uint64_t environment(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

struct Plan {
  Fault fault = kAnswered;
  std::uint8_t address = 0;
  Request request;
  std::optional<sim::DeviceBehaviour> device;  // unset: nobody at the address
  bool wait = false;
  bool probe_dead_line = false;  // after a vanishing: a command on the dead line first
};

class Planner {
 public:
  Planner(std::uint64_t seed, std::uint32_t reply_timeout_ms)
      : rng_(seed), reply_timeout_ms_(reply_timeout_ms) {
    for (const FaultKind& f : kFaults) weights_.push_back(f.weight);
  }

  // Draws the same plans for the same seed, whatever the outcomes.
  Plan next(std::uint64_t n) {
    Plan p;
    p.fault =
        static_cast<Fault>(std::discrete_distribution<int>(weights_.begin(), weights_.end())(rng_));
    p.address = static_cast<std::uint8_t>(pick(0, 127));
    Request& r = p.request;
    r.dest = static_cast<std::uint8_t>(p.address | (pick(0, 3) == 0 ? 0x80 : 0));
    r.source = byte();
    r.code = byte();
    r.param = byte();
    // The transaction's number in the data word: no two commands, and so no two echoing
    // answers, are alike, and a reply handed to the wrong transaction shows.
    r.data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
              static_cast<std::uint8_t>(n >> 16), byte()};
    r.reply_timeout_ms = reply_timeout_ms_;
    p.wait = pick(0, 4) == 0;

    sim::DeviceBehaviour d;
    switch (p.fault) {
      case kAnswered:
        if (pick(0, 1)) {
          d.status = byte();
          d.error = byte();
        }
        if (pick(0, 2) == 0) {
          d.data = std::array<std::uint8_t, 4>{byte(), byte(), static_cast<std::uint8_t>(n),
                                               static_cast<std::uint8_t>(n >> 8)};
        }
        break;
      case kAnsweredSlowly:
        // Well inside the reply time-out: a library that gave up early would miss it.
        d.delay_ms = static_cast<std::uint32_t>(
            pick(static_cast<int>(reply_timeout_ms_ / 4), static_cast<int>(reply_timeout_ms_ / 2)));
        break;
      case kSilent:
        d.silent = true;
        if (pick(0, 1)) return p;  // or nobody at the address at all
        break;
      case kLate:
        d.delay_ms = reply_timeout_ms_ + static_cast<std::uint32_t>(pick(20, 40));
        break;
      case kShort:
        d.truncate_to = static_cast<std::size_t>(pick(1, 11));
        break;
      case kBadCrc:
        d.corrupt_crc = true;
        break;
      case kSplitShortGaps: {
        std::size_t left = kFrameSize;
        const int pieces = pick(2, 4);
        for (int i = 1; i < pieces && left > 1; ++i) {
          const auto size = static_cast<std::size_t>(pick(1, static_cast<int>(left) - 1));
          d.pieces.push_back(size);
          left -= size;
        }
        d.pieces.push_back(left);
        d.gap_ms = static_cast<std::uint32_t>(pick(0, 3));
        break;
      }
      case kSplitLongGap: {
        const auto first = static_cast<std::size_t>(pick(1, 11));
        d.pieces = {first, kFrameSize - first};
        d.gap_ms = static_cast<std::uint32_t>(pick(15, 25));
        break;
      }
      case kOtherAddress:
        d.reply_dest = static_cast<std::uint8_t>((r.source + pick(1, 126)) & 0x7F);
        break;
      case kVanishMidReply:
        d.hang_up_after = static_cast<std::size_t>(pick(1, 11));
        break;
      case kVanishBeforeReply:
        d.hang_up_after = 0;
        d.delay_ms = static_cast<std::uint32_t>(pick(0, static_cast<int>(reply_timeout_ms_ / 2)));
        break;
      case kFaultCount:
        break;
    }
    p.probe_dead_line = pick(0, 1) == 1;
    p.device = d;
    return p;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(pick(0, 255)); }

  std::mt19937_64 rng_;
  std::uint32_t reply_timeout_ms_;
  std::vector<int> weights_;
};

bool vanishes(Fault f) {
  return f == kVanishMidReply || f == kVanishBeforeReply;
}

struct Verdict {
  std::string failure;  // empty: as it should be
  int allowance = -1;
};

// Whether the one callback of a transaction is what the line called for.
Verdict judge(const Plan& p, const Sent& s, const Seen& c, const sim::AnswerRecord* a,
              std::optional<Clock::time_point> hung_up_at) {
  const Clock::time_point give_up = giveUpFrom(p.request, s);
  const bool answered = a != nullptr && !a->bytes.empty();
  const bool first_byte_in_time =
      answered && !a->writes.empty() && a->writes.front().done <= give_up - kDeliveryMargin;
  Verdict v;
  const auto allow = [&](bool allowed, int allowance, const char* otherwise) {
    if (allowed) {
      v.allowance = allowance;
    } else {
      v.failure = otherwise;
    }
  };

  switch (c.outcome) {
    case kReplyValid:
      if (!answered || !isReplyOf(c, a->bytes)) {
        v.failure = "a valid reply with fields the device did not send as one frame";
      } else if (p.fault == kLate) {
        v.allowance = kLateReplyTaken;
      } else if (p.fault == kSplitLongGap) {
        v.allowance = kLongGapBridged;
      } else if (p.fault != kAnswered && p.fault != kAnsweredSlowly && p.fault != kOtherAddress &&
                 p.fault != kSplitShortGaps) {
        v.failure = "a valid reply where the device sent none";
      }
      return v;
    case kNoReply:
      if (p.fault == kSilent || p.fault == kLate) break;
      if (p.fault == kVanishBeforeReply) {
        allow(hung_up_at && *hung_up_at > give_up - kDeliveryMargin, kDeviceTooLate,
              "no reply reported, though the line had gone away well within the reply time-out");
      } else {
        // Counted apart when the device got its command only as the library stopped waiting:
        // such cases point at the library's spinning wait keeping a device on this machine
        // from the processor, not at a slow device.
        const bool held_back = a != nullptr && a->command_read >= give_up - kDeliveryMargin &&
                               a->command_read <= give_up + kDeliveryMargin;
        allow(!first_byte_in_time, held_back ? kCommandHeldBack : kDeviceTooLate,
              "no reply reported, though the device's first byte was on the line well within "
              "the reply time-out");
      }
      break;
    case kReadFailed:
      if (!vanishes(p.fault)) v.failure = "a read failure on a line that stayed";
      break;
    case kReplyInvalid:
      if (p.fault == kShort || p.fault == kBadCrc || p.fault == kSplitLongGap) break;
      if (p.fault == kSplitShortGaps) {
        allow(answered && a->longestSilenceBound() > kInterByteLimit - milliseconds(1),
              kPiecesOverLimit,
              "a reply in pieces cut, though no gap between them reached the inter-byte limit");
      } else if (p.fault == kVanishMidReply) {
        allow(answered && !a->writes.empty() && hung_up_at &&
                  *hung_up_at - a->writes.front().begun > kInterByteLimit - milliseconds(1),
              kHangUpAfterLimit,
              "a cut reply, though the line went away within the inter-byte limit");
      } else {
        v.failure = "an invalid reply where the device sent a whole valid frame, or nothing";
      }
      break;
    default:
      v.failure = "an outcome this line cannot produce";
      break;
  }
  if (v.failure.empty()) {
    const std::string fields = checkFailure(c, p.request, c.outcome);
    if (!fields.empty()) v.failure = fields;
  }
  return v;
}

std::string describe(const Plan& p, const Sent& s, const sim::AnswerRecord* a,
                     std::optional<Clock::time_point> hung_up_at) {
  char text[200];
  std::snprintf(text, sizeof text,
                "fault '%s', device %u, request dest %02X source %02X code %02X param %02X data "
                "%02X %02X %02X %02X, %s",
                kFaults[p.fault].name, p.address, p.request.dest, p.request.source, p.request.code,
                p.request.param, p.request.data[0], p.request.data[1], p.request.data[2],
                p.request.data[3], p.wait ? "waited" : "not waited");
  std::string out = text;
  if (a != nullptr) out += "; answer written (ms after the send):" + timings(*a, s.sent);
  if (hung_up_at) {
    std::snprintf(text, sizeof text, "; line gone at %.2f ms",
                  std::chrono::duration<double, std::milli>(*hung_up_at - s.sent).count());
    out += text;
  }
  return out;
}

TEST(Soak, RandomFaultsEachEndInOneCallbackThatMatchesTheLine) {
  const std::uint64_t count = environment("VARNO_SOAK_COUNT", 10000);
  const std::uint64_t seed = environment("VARNO_SOAK_SEED", std::random_device{}());
  const std::uint64_t seconds = environment("VARNO_SOAK_SECONDS", 150);
  const auto reply_timeout_ms =
      static_cast<std::uint32_t>(environment("VARNO_SOAK_REPLY_TIMEOUT_MS", 40));
  const bool verbose = environment("VARNO_SOAK_VERBOSE", 0) != 0;
  std::printf("soak: seed %" PRIu64 " (VARNO_SOAK_SEED=%" PRIu64 " repeats it), %" PRIu64
              " transactions, at most %" PRIu64 " s, reply time-out %u ms\n",
              seed, seed, count, seconds, reply_timeout_ms);
  std::fflush(stdout);
  SCOPED_TRACE("seed " + std::to_string(seed));

  DiagnosticLog log;
  // One open and close first: what the process (or a sanitizer) makes once is made by then.
  {
    sim::Simulator first;
    ASSERT_TRUE(varnoOpenSerialPort(first.path(), kBaud));
    varnoCloseSerialPort();
    ASSERT_EQ(log.take(), test::kCloseTexts);
  }
  const std::size_t fds_before = openDescriptors();
  const std::size_t threads_before = threads();
  // Taken again once the warm-up is over: whatever the first transactions make once is not
  // growth. A run too short for a warm-up compares with this.
  const std::uint64_t warm_up = std::min<std::uint64_t>(500, count / 10);
  long rss_warm = residentKiB();
  std::size_t fds_warm = 0;
  std::size_t threads_warm = 0;

  Callbacks callbacks;
  Planner planner(seed, reply_timeout_ms);
  auto sim = std::make_unique<sim::Simulator>();
  // Closed however the test ends, before its line goes: the next test starts from nothing.
  const struct ClosesPort {
    ~ClosesPort() { varnoCloseSerialPort(); }
  } closes_port;
  ASSERT_TRUE(varnoOpenSerialPort(sim->path(), kBaud));

  std::uint64_t outcomes[kFaultCount][6] = {};
  std::uint64_t allowances[kAllowanceCount] = {};
  std::uint64_t reopenings = 0;
  std::uint64_t refused_on_dead_line = 0;
  std::vector<Seen> seen;
  seen.reserve(16);
  int configured = -1;  // address of the device the last plan set up

  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(seconds);
  std::uint64_t n = 0;
  for (; n < count && Clock::now() < deadline; ++n) {
    if (n == warm_up) {
      rss_warm = residentKiB();
      fds_warm = openDescriptors();
      threads_warm = threads();
    }
    const Plan p = planner.next(n);
    if (configured >= 0) sim->removeDevice(static_cast<std::uint8_t>(configured));
    configured = p.address;
    if (p.device) sim->setDevice(p.address, *p.device);
    sim->clearLog();
    callbacks.begin(n);

    const Sent s = send(callbacks, p.request, p.wait);
    ASSERT_EQ(s.result, kSendStarted) << "transaction " << n;
    ASSERT_TRUE(s.called_back) << "transaction " << n << ": no callback within "
                               << kPatience.count() << " ms";
    ASSERT_TRUE(s.idle_again) << "transaction " << n;
    if (p.wait) {
      ASSERT_EQ(s.calls_at_return, 1u) << "transaction " << n << ": a waited send";
    }

    // A vanishing device that outlived the transaction goes now, rather than after its wait
    // for the reader; then the line is quiet, and anything still to come is a duplicate.
    if (vanishes(p.fault)) sim->hangUp();
    ASSERT_TRUE(sim->waitUntilIdle(1, kPatience)) << "transaction " << n;
    const auto answers = sim->answers();
    const sim::AnswerRecord* answer = answerTo(answers, commandFrame(p.request));
    const std::optional<Clock::time_point> hung_up_at = sim->hungUpAt();
    callbacks.take(seen);

    // Built only for a failure's message.
    const auto context = [&] {
      std::string text =
          "transaction " + std::to_string(n) + ": " + describe(p, s, answer, hung_up_at);
      for (const Seen& c : seen) text += "\n  callback " + describe(c);
      return text;
    };
    ASSERT_EQ(seen.size(), 1u) << context();
    ASSERT_EQ(seen[0].during, n) << context() << "\n  the callback came after its transaction";
    // A vanishing device may not have begun by the time the test takes the line away.
    if (!vanishes(p.fault)) {
      ASSERT_EQ(answer == nullptr, p.device == std::nullopt || p.device->silent)
          << context() << "\n  the simulator did not do as it was told";
    }
    const Verdict v = judge(p, s, seen[0], answer, hung_up_at);
    ASSERT_EQ(v.failure, "") << context();
    ASSERT_EQ(log.take(), Texts{}) << context();
    ++outcomes[p.fault][seen[0].outcome];
    if (v.allowance >= 0) {
      ++allowances[v.allowance];
      if (verbose) std::printf("allowed (%s): %s\n", kAllowances[v.allowance], context().c_str());
    }

    if (vanishes(p.fault)) {
      // As a host would: the dead line refuses the next command, so open the port again, which
      // for a device that comes back is a new line.
      if (p.probe_dead_line) {
        EXPECT_EQ(varnoSendCommand(p.request.dest, p.request.source, 0, 0, p.request.data.data(),
                                   1000, reply_timeout_ms, &Callbacks::callback, false),
                  kSendWriteNotStarted)
            << context();
        EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle) << context();
        ++refused_on_dead_line;
      }
      auto fresh = std::make_unique<sim::Simulator>();
      ASSERT_TRUE(varnoOpenSerialPort(fresh->path(), kBaud)) << context();
      ASSERT_EQ(log.take(), test::kCloseTexts) << context();
      sim = std::move(fresh);
      configured = -1;
      ++reopenings;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long rss_end = residentKiB();
  const std::size_t fds_end = openDescriptors();
  const std::size_t threads_end = threads();

  varnoCloseSerialPort();
  EXPECT_EQ(log.take(), test::kCloseTexts);
  sim.reset();
  EXPECT_EQ(callbacks.count(), 0u) << "a callback after the last transaction";
  const std::size_t fds_after = openDescriptors();
  const std::size_t threads_after = threads();

  std::printf("\n%-24s %8s %8s %8s %8s %8s %8s %8s\n", "fault", "count", "0", "1", "2", "3", "4",
              "5");
  std::uint64_t total[6] = {};
  for (int f = 0; f < kFaultCount; ++f) {
    std::uint64_t sum = 0;
    for (int o = 0; o < 6; ++o) {
      sum += outcomes[f][o];
      total[o] += outcomes[f][o];
    }
    std::printf("%-24s %8" PRIu64, kFaults[f].name, sum);
    for (int o = 0; o < 6; ++o) std::printf(" %8" PRIu64, outcomes[f][o]);
    std::printf("\n");
  }
  std::printf("%-24s %8" PRIu64, "all", n);
  for (int o = 0; o < 6; ++o) std::printf(" %8" PRIu64, total[o]);
  std::printf("\n\nallowed by timing (the line record shows why):\n");
  for (int i = 0; i < kAllowanceCount; ++i) {
    std::printf("  %8" PRIu64 "  %s\n", allowances[i], kAllowances[i]);
  }
  std::printf("\n%" PRIu64 " transactions in %.1f s: %.0f per second%s\n", n, elapsed,
              elapsed > 0 ? static_cast<double>(n) / elapsed : 0.0,
              n < count ? " (stopped by the time limit)" : "");
  std::printf("port re-opened %" PRIu64 " times on a new line after a device vanished; %" PRIu64
              " commands refused on the dead line\n",
              reopenings, refused_on_dead_line);
  std::printf("resident memory after %" PRIu64 " transactions %ld KiB, at the end %ld KiB (%+ld)\n",
              warm_up, rss_warm, rss_end, rss_end - rss_warm);
  std::printf("descriptors %zu before, %zu after warm-up, %zu at the end, %zu after closing\n",
              fds_before, fds_warm, fds_end, fds_after);
  std::printf("threads %zu before, %zu after warm-up, %zu at the end, %zu after closing\n",
              threads_before, threads_warm, threads_end, threads_after);
  std::fflush(stdout);

  EXPECT_EQ(fds_after, fds_before);
  EXPECT_EQ(threads_after, threads_before);
  if (n > warm_up) {
    EXPECT_EQ(fds_end, fds_warm);
    EXPECT_EQ(threads_end, threads_warm);
    EXPECT_LT(rss_end - rss_warm, kRssGrowthLimitKiB);
  }
  // The two allowances the line record cannot back up must stay the exception: a library that
  // ignored the reply time-out or the inter-byte limit would take every late or split reply.
  for (const auto& [fault, allowance] :
       {std::pair{kLate, kLateReplyTaken}, std::pair{kSplitLongGap, kLongGapBridged}}) {
    std::uint64_t seen_fault = 0;
    for (const std::uint64_t c : outcomes[fault]) seen_fault += c;
    if (seen_fault >= 20) {
      EXPECT_LT(allowances[allowance], seen_fault / 2) << kFaults[fault].name;
    }
  }
}

}  // namespace
}  // namespace varno::soak
