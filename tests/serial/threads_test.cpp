// Several threads on one connection, in the ways callers may use it: the state read from anywhere
// at any time, conversions everywhere (callbacks included), sends and open/close taking turns,
// and a close from another thread while a send waits. Meant to run under TSan as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "support/diagnostic_log.h"
#include "support/test_line.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::atomic<int> g_callbacks{0};
std::atomic<int> g_bad_callbacks{0};

void VARNO_CALL onReply(std::uint8_t dest, std::uint8_t source, std::uint8_t, std::uint8_t,
                        std::uint8_t, std::uint8_t, std::uint8_t* data_arr,
                        std::int32_t error_status) {
  // Conversions from inside the callback, on the worker thread.
  std::uint8_t word[4];
  varnoUIntToData(varnoDataToUInt(data_arr), word);
  if (error_status < 0 || error_status > 5) ++g_bad_callbacks;
  if (error_status == 0 && ((dest & 0x7F) != kHost || source != kAnswers)) ++g_bad_callbacks;
  if (error_status != 0 && dest != kHost) ++g_bad_callbacks;
  ++g_callbacks;
}

// Reads the state and converts data words until told to stop; counts impossible states.
class Bystanders {
 public:
  explicit Bystanders(int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, i] {
        std::uint8_t word[4];
        float value = static_cast<float>(i);
        while (!stop_) {
          const std::int32_t state = varnoGetSerialPortCurrentState();
          if (state < kClosed || state > kSending) ++impossible_;
          varnoFloatToData(value, 2, word);
          if (varnoDataToFloat(word) > 1e9f) ++impossible_;
          value += 0.25f;
          std::this_thread::yield();
        }
      });
    }
  }
  ~Bystanders() { join(); }
  int join() {
    stop_ = true;
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
    return impossible_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> impossible_{0};
  std::vector<std::thread> threads_;
};

class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_callbacks = 0;
    g_bad_callbacks = 0;
  }
  void TearDown() override { closeConnection(); }

  TestLine line;
  DiagnosticLog log;  // keeps the close messages of hundreds of cycles off stderr
};

TEST_F(ThreadsTest, SendsAndOpenCloseTakingTurnsWhileOthersWatch) {
  Bystanders bystanders(2);
  std::mutex turns;  // what callers must do: no open or close while a send hands over
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  ASSERT_TRUE(line.open());

  std::thread sender([&] {
    const std::uint8_t data[4] = {1, 2, 3, 4};
    for (int i = 0; !stop; ++i) {
      std::int32_t result;
      {
        std::lock_guard lock(turns);
        result = varnoSendCommand(i % 3 == 0 ? kSilent : kAnswers, kHost, 0, 0, data, 100, 30,
                                  &onReply, false);
      }
      if (result == 0) ++started;
      // Wait for the outcome outside the lock, so that a close may come meanwhile.
      const auto deadline = Clock::now() + 2s;
      while (varnoGetSerialPortCurrentState() >= kAwaitingReply && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      std::this_thread::sleep_for(1ms);
    }
  });

  std::mt19937 random(11);
  const auto until = Clock::now() + 3s;
  int cycles = 0;
  while (Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
    std::lock_guard lock(turns);
    closeConnection();
    ASSERT_TRUE(line.open());
    ++cycles;
  }
  stop = true;
  sender.join();
  closeConnection();

  EXPECT_EQ(bystanders.join(), 0);
  EXPECT_EQ(g_bad_callbacks.load(), 0);
  EXPECT_LE(g_callbacks.load(), started.load());
  EXPECT_GT(cycles, 10);
  EXPECT_GT(g_callbacks.load(), 10);
}

TEST_F(ThreadsTest, CloseFromAnotherThreadAtAnyMomentOfAWaitingSend) {
  // Callers may close while a send waits for its outcome; a close that lands while the send is
  // still handing over (which they should not do) must not break anything either.
  Bystanders bystanders(1);
  std::atomic<bool> stop{false};
  std::atomic<bool> want_open{false};
  std::atomic<int> returned{0};
  std::atomic<int> unexpected{0};
  ASSERT_TRUE(line.open());

  std::thread sender([&] {
    const std::uint8_t data[4] = {};
    for (int i = 0; !stop; ++i) {
      const std::int32_t result =
          varnoSendCommand(i % 2 ? kSilent : kAnswers, kHost, 0, 0, data, 100, 40, &onReply, true);
      if (result != 0 && result != 1 && result != 4) ++unexpected;
      ++returned;
      if (varnoGetSerialPortCurrentState() == kClosed) {
        want_open = true;
        while (want_open && !stop) std::this_thread::sleep_for(1ms);
      }
    }
  });

  std::mt19937 random(5);
  const auto until = Clock::now() + 3s;
  while (Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    closeConnection();
    // Reopen only once the sender is out of its send: open must not overlap a hand-over.
    const auto deadline = Clock::now() + 2s;
    while (!want_open && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(line.open());
    want_open = false;
  }
  stop = true;
  sender.join();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(g_bad_callbacks.load(), 0);
  EXPECT_LE(g_callbacks.load(), returned.load());
  EXPECT_EQ(bystanders.join(), 0);
}

// What a careless host does, which the classic functions forbid but must survive: opens racing
// closes and each other, and two threads sending at once. Nothing may crash, and no send may lie.
TEST_F(ThreadsTest, OpensAndClosesFromSeveralThreadsAtOnce) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300 && !stop; ++i) {
        if (t == 2) {
          closeConnection();
        } else if (!line.open()) {
          ADD_FAILURE() << "an open failed: " << (log.take().empty() ? "" : "see log");
          stop = true;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  closeConnection();
  EXPECT_EQ(connectionState(), kClosed);
  // Every open that ran left a port that opens again.
  ASSERT_TRUE(line.open());
}

std::atomic<int> g_codes[2];
void VARNO_CALL onCode(std::uint8_t, std::uint8_t, std::uint8_t code, std::uint8_t, std::uint8_t,
                       std::uint8_t, std::uint8_t*, std::int32_t error_status) {
  if (error_status == 0 && code >= 1 && code <= 2) ++g_codes[code - 1];
  ++g_callbacks;
}

TEST_F(ThreadsTest, TwoThreadsSendingAtOnceGetTheirOwnAnswers) {
  ASSERT_TRUE(line.open());
  g_codes[0] = 0;
  g_codes[1] = 0;
  std::atomic<int> started[2] = {0, 0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 2; ++t) {
    senders.emplace_back([&, t] {
      const std::uint8_t data[4] = {};
      for (int i = 0; i < 200; ++i) {
        const std::uint8_t code = static_cast<std::uint8_t>(t + 1);
        const std::int32_t result =
            varnoSendCommand(kAnswers, kHost, code, 0, data, 100, 1000, &onCode, true);
        if (result == 0) ++started[t];
      }
    });
  }
  for (auto& t : senders) t.join();
  ASSERT_TRUE(line.sim().waitUntilIdle(0, 10s));
  // A send told 1 put nothing on the wire; one told 0 got its own callback, with its own code.
  EXPECT_EQ(line.sim().receivedFrames().size(), static_cast<std::size_t>(started[0] + started[1]));
  EXPECT_EQ(g_codes[0].load(), started[0].load());
  EXPECT_EQ(g_codes[1].load(), started[1].load());
  EXPECT_EQ(g_callbacks.load(), started[0] + started[1]);
}

}  // namespace
}  // namespace varno::test
