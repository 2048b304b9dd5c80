// The event, thread and clock primitives the connection's worker is built on. Time limits here
// are bounds a loaded machine keeps easily; nothing measures speed.
#include "os/platform.h"
#include "ports/serial_port.h"  // kInfinite

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace varno {
namespace {

constexpr std::uint32_t kGenerousMs = 10000;

TEST(ManualResetEvent, SignalGivenBeforeTheWaitIsKept) {
  ManualResetEvent event;
  event.set();
  EXPECT_TRUE(event.wait(0));
  EXPECT_TRUE(event.wait(kInfinite));  // still signalled: waiting does not consume it
  event.reset();
  EXPECT_FALSE(event.wait(0));
}

TEST(ManualResetEvent, TimedWaitTimesOutAndDoesNotReturnEarly) {
  ManualResetEvent event;
  const std::uint32_t start = millisecondClock();
  EXPECT_FALSE(event.wait(60));
  const std::uint32_t elapsed = millisecondClock() - start;
  EXPECT_GE(elapsed, 40u);  // clock granularity allowed for
}

TEST(ManualResetEvent, SetFromAnotherThreadEndsAnUnlimitedWait) {
  ManualResetEvent event;
  std::thread setter([&event] {
    sleepMilliseconds(30);
    event.set();
  });
  EXPECT_TRUE(event.wait(kInfinite));
  setter.join();
}

struct Gate {
  ManualResetEvent go;
  ManualResetEvent done;
  std::atomic<int> runs{0};
};

void waitAtGate(void* argument) {
  Gate* gate = static_cast<Gate*>(argument);
  gate->runs.fetch_add(1);
  gate->go.wait(kInfinite);
  gate->done.set();
}

TEST(WorkerThread, ReportsARunningThreadThenItsEnd) {
  Gate gate;
  WorkerThread thread;
  ASSERT_TRUE(thread.start(waitAtGate, &gate));
  EXPECT_FALSE(thread.waitForEnd(50));
  EXPECT_FALSE(thread.waitForEnd(0));
  gate.go.set();
  EXPECT_TRUE(thread.waitForEnd(kGenerousMs));
  EXPECT_TRUE(thread.waitForEnd(0));  // an ended thread stays ended
  EXPECT_EQ(1, gate.runs.load());
  thread.release();
}

TEST(WorkerThread, ReleasedThreadRunsOnAfterItsOwnerIsGone) {
  Gate gate;
  {
    WorkerThread thread;
    ASSERT_TRUE(thread.start(waitAtGate, &gate));
    thread.release();
  }
  gate.go.set();
  EXPECT_TRUE(gate.done.wait(kGenerousMs));
  EXPECT_EQ(1, gate.runs.load());
}

TEST(MillisecondClock, AdvancesAcrossASleep) {
  const std::uint32_t start = millisecondClock();
  sleepMilliseconds(60);
  EXPECT_GE(static_cast<std::uint32_t>(millisecondClock() - start), 40u);
}

}  // namespace
}  // namespace varno
