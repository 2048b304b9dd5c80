// Nothing on the transaction path allocates: every buffer lives in the connection. The device
// here is the test itself on the other side of a pseudo-terminal, answering with plain reads and
// writes, so that every allocation counted is the library's.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "protocol/frame.h"
#include "support/fake_serial_port.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<bool> g_out_of_memory{false};

}  // namespace

// The replacements pair malloc with free themselves; GCC, seeing them inlined into a new
// expression, takes free for a mismatch with operator new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (g_out_of_memory.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

std::atomic<int> g_callbacks{0};
std::atomic<int> g_last_outcome{-1};

void VARNO_CALL onReply(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                        std::uint8_t, std::uint8_t*, std::int32_t error_status) {
  g_last_outcome = error_status;
  g_callbacks.fetch_add(1);
}

// Reads one 12-byte command from the master side and answers it (or not). False when no command
// came within a short while, or the line failed.
bool answerOne(int master, bool answer) {
  std::uint8_t command[12];
  std::size_t got = 0;
  while (got < sizeof command) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) return false;
    const ssize_t n = read(master, command + got, sizeof command - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  varno::CommandRecord request;
  if (!answer || !varno::decodeFrame(command, request)) return true;
  varno::CommandRecord reply = request;
  reply.dest = request.source;
  reply.source = request.dest & 0x7F;
  std::uint8_t frame[12];
  varno::encodeFrame(reply, frame);
  return write(master, frame, sizeof frame) == static_cast<ssize_t>(sizeof frame);
}

TEST(Allocation, NoneOnTheTransactionPath) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string path = ptsname(master);
  ASSERT_TRUE(varnoOpenSerialPort(path, 115200));

  constexpr int kRounds = 200;
  g_callbacks = 0;  // from zero on every run of the test, --gtest_repeat's included
  std::atomic<bool> stop{false};
  std::thread device([&] {
    // Answers every command but every fifth, which is left to time out. (On a loaded machine a
    // command may also time out before it is read, and the next one's discard takes it away.)
    for (int i = 0; !stop; ++i) answerOne(master, i % 5 != 4);
  });

  // The counter counts.
  g_counting = true;
  int* volatile probe = new int(7);
  delete probe;
  g_counting = false;
  ASSERT_EQ(g_allocations.exchange(0), 1);

  const std::uint8_t data[4] = {1, 2, 3, 4};
  g_counting = true;
  for (int i = 0; i < kRounds; ++i) {
    // Waiting in the library...
    varnoSendCommand(1, 31, 3, 0, data, 100, 20, &onReply, true);
    // ...and waiting outside it.
    const int before = g_callbacks.load();
    varnoSendCommand(1, 31, 3, 0, data, 100, 20, &onReply, false);
    while (g_callbacks.load() == before || varnoGetSerialPortCurrentState() != 1) {
      std::this_thread::yield();
    }
  }
  g_counting = false;

  EXPECT_EQ(g_callbacks.load(), 2 * kRounds);
  EXPECT_EQ(g_allocations.load(), 0);
  varnoCloseSerialPort();

  // A link's own sends and transactions, the same.
  VarnoLink* link = nullptr;
  ASSERT_EQ(varnoLinkOpen(path.c_str(), 115200, &link), VARNO_OK);
  VarnoFrame command{};
  command.dest = 1;
  command.source = 31;
  command.code = 3;
  static std::atomic<int> handled{0};
  handled = 0;
  const VarnoReplyHandler handler = [](void*, const VarnoFrame*, std::int32_t) { ++handled; };
  g_counting = true;
  for (int i = 0; i < kRounds; ++i) {
    VarnoFrame reply;
    varnoLinkTransact(link, &command, 100, 20, &reply);
    const int before = handled.load();
    varnoLinkSend(link, &command, 100, 20, handler, nullptr);
    while (handled.load() == before || varnoLinkState(link) != VARNO_STATE_IDLE) {
      std::this_thread::yield();
    }
  }
  g_counting = false;
  EXPECT_EQ(handled.load(), kRounds);
  EXPECT_EQ(g_allocations.load(), 0);
  varnoLinkClose(link);

  stop = true;
  device.join();
  close(master);
}

TEST(Allocation, RunningOutOfMemoryAfterTheLastOpenStepLeavesNothingHalfOpen) {
  auto script = std::make_shared<varno::test::FakeScript>();
  script->on_call = [](const std::string& call) {
    if (call.starts_with("open(")) g_out_of_memory = true;  // the port has opened
  };
  bool opened = true;
  try {
    opened = varno::openConnection("fake0", 38400, varno::test::fakeOptions(script));
  } catch (...) {
  }
  g_out_of_memory = false;
  EXPECT_FALSE(opened);
  EXPECT_EQ(varno::connectionState(), varno::kClosed);
  varno::closeConnection();  // nothing to close, and nothing to trip over
  EXPECT_TRUE(script->sawCall("close"));
}

}  // namespace
