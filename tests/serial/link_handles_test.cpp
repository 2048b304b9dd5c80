// Links through the C interface over pseudo-terminals: several at once, the open errors by cause,
// one transaction at a time, closes that end a transaction at once with exactly one handler call,
// handlers that throw or close their own link. Meant to run under TSan as well.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "simulator.h"
#include "support/diagnostic_log.h"
#include "varno_link.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kHost = 31;
constexpr std::uint8_t kAnswers = 1;
constexpr std::uint8_t kSilent = 2;
constexpr std::uint8_t kLate = 3;

std::unique_ptr<sim::Simulator> makeBus() {
  auto bus = std::make_unique<sim::Simulator>();
  bus->setDevice(kAnswers);
  sim::DeviceBehaviour silent;
  silent.silent = true;
  bus->setDevice(kSilent, silent);
  sim::DeviceBehaviour late;
  late.delay_ms = 300;
  bus->setDevice(kLate, late);
  return bus;
}

VarnoFrame command(std::uint8_t dest, std::uint8_t code = 3) {
  VarnoFrame f{};
  f.dest = dest;
  f.source = kHost;
  f.code = code;
  f.param = 0x85;
  f.data[0] = 0xFF;
  f.data[1] = 0x80;
  f.data[2] = 0x01;
  f.data[3] = 0x02;
  return f;
}

int threadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Handler calls, for a test to wait on.
struct Handled {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<VarnoFrame, std::int32_t>> calls;
  std::function<void()> during;

  static void VARNO_CALL handler(void* context, const VarnoFrame* reply, std::int32_t status) {
    auto* self = static_cast<Handled*>(context);
    if (self->during) self->during();
    std::lock_guard lock(self->mutex);
    self->calls.emplace_back(*reply, status);
    self->changed.notify_all();
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return calls.size() >= n; });
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return calls.size();
  }
};

void expectSwapped(const VarnoFrame& f, std::uint8_t dest) {
  EXPECT_EQ(f.dest, kHost);
  EXPECT_EQ(f.source, dest);
  EXPECT_EQ(f.code, 3);
  EXPECT_EQ(f.param, 0x85);
  EXPECT_EQ(f.status, 0);
  EXPECT_EQ(f.data[0], 0xFF);
}

class LinkHandles : public ::testing::Test {
 protected:
  void TearDown() override {
    if (link != nullptr) varnoLinkClose(link);
  }
  void open() { ASSERT_EQ(varnoLinkOpen(bus->path().c_str(), 38400, &link), VARNO_OK); }

  std::unique_ptr<sim::Simulator> bus = makeBus();
  VarnoLink* link = nullptr;
};

TEST_F(LinkHandles, SeveralLinksOnTheirOwnPortsRunAtTheSameTime) {
  for (const int count : {2, 4}) {
    std::vector<std::unique_ptr<sim::Simulator>> buses;
    for (int i = 0; i < count; ++i) buses.push_back(makeBus());
    constexpr int kRounds = 50;
    std::vector<std::future<int>> runs;
    for (int i = 0; i < count; ++i) {
      runs.push_back(std::async(std::launch::async, [&, i] {
        VarnoLink* own = nullptr;
        if (varnoLinkOpen(buses[i]->path().c_str(), 115200, &own) != VARNO_OK) return -1;
        int good = 0;
        for (int round = 0; round < kRounds; ++round) {
          const VarnoFrame sent = command(kAnswers, static_cast<std::uint8_t>(10 + i));
          VarnoFrame reply{};
          if (varnoLinkTransact(own, &sent, 100, 1000, &reply) == VARNO_REPLY &&
              reply.code == 10 + i && reply.source == kAnswers && reply.dest == (0x80 | kHost)) {
            ++good;
          }
        }
        varnoLinkClose(own);
        return good;
      }));
    }
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(runs[i].get(), kRounds) << "link " << i << " of " << count;
      EXPECT_EQ(buses[i]->receivedFrames().size(), static_cast<std::size_t>(kRounds));
    }
  }
}

TEST_F(LinkHandles, APortOpenTwiceIsInUse) {
  open();
  DiagnosticLog log;
  VarnoLink* second = nullptr;
  EXPECT_EQ(varnoLinkOpen(bus->path().c_str(), 38400, &second), VARNO_E_IN_USE);
  EXPECT_EQ(second, nullptr);
  // The classic connection is told the same, in its own words.
  EXPECT_FALSE(varnoOpenSerialPortA(bus->path().c_str(), 38400));
  EXPECT_EQ(log.take(), Texts{"\n openInterface INVALID_HANDLE_VALUE"});

  varnoLinkClose(link);
  link = nullptr;
  ASSERT_EQ(varnoLinkOpen(bus->path().c_str(), 38400, &second), VARNO_OK);
  varnoLinkClose(second);
}

TEST_F(LinkHandles, OpenErrorsNameTheirCause) {
  VarnoLink* l = reinterpret_cast<VarnoLink*>(&l);
  EXPECT_EQ(varnoLinkOpen("/dev/varno-no-such-port", 38400, &l), VARNO_E_NOT_FOUND);
  EXPECT_EQ(l, nullptr);
  EXPECT_EQ(varnoLinkOpen("varno-no-such-port", 38400, &l), VARNO_E_NOT_FOUND);
  EXPECT_EQ(varnoLinkOpen("/dev/null", 38400, &l), VARNO_E_NOT_SERIAL);
  EXPECT_EQ(varnoLinkOpen("/tmp", 38400, &l), VARNO_E_NOT_SERIAL);
  EXPECT_EQ(varnoLinkOpen("", 38400, &l), VARNO_E_ARGUMENT);
  EXPECT_EQ(varnoLinkOpen(nullptr, 38400, &l), VARNO_E_ARGUMENT);
  EXPECT_EQ(varnoLinkOpen(bus->path().c_str(), 0, &l), VARNO_E_ARGUMENT);
  EXPECT_EQ(varnoLinkOpen(bus->path().c_str(), 38400, nullptr), VARNO_E_ARGUMENT);

  // Cut at a NUL, the name would open the simulator's terminal.
  DiagnosticLog log;
  EXPECT_FALSE(varnoOpenSerialPort(bus->path() + std::string("\0-junk", 6), 38400));
  EXPECT_EQ(log.take(), Texts{"\n openInterface INVALID_HANDLE_VALUE"});
  EXPECT_EQ(varnoGetSerialPortCurrentState(), 0);

  for (std::int32_t code = 5; code >= -30; --code) {
    ASSERT_NE(varnoErrorText(code), nullptr) << code;
    EXPECT_GT(std::strlen(varnoErrorText(code)), 5u) << code;
  }
  EXPECT_NE(std::string(varnoErrorText(VARNO_E_PERMISSION)).find("dialout"), std::string::npos);
}

TEST_F(LinkHandles, PermissionDeniedIsToldApart) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  // The terminal is root's, readable and writable by root alone; a child that has become nobody
  // tries it.
  ASSERT_EQ(chmod(bus->path().c_str(), 0600), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    VarnoLink* l = nullptr;
    _exit(-varnoLinkOpen(bus->path().c_str(), 38400, &l));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), -VARNO_E_PERMISSION);
}

TEST_F(LinkHandles, NoDescriptorForTheAbortEventFailsTheOpen) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors too (the plain build runs this)";
#endif
  // No descriptor left: the open must fail as out of resources, not succeed with a close that
  // cannot cut a wait short.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) highest = std::max(highest, std::atoi(e->d_name));
    closedir(d);
  }
  DiagnosticLog log;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> fillers;  // the free numbers below the limit
  for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
  VarnoLink* l = nullptr;
  const std::int32_t link_result = varnoLinkOpen(bus->path().c_str(), 38400, &l);
  const bool classic_result = varnoOpenSerialPortA(bus->path().c_str(), 38400);
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(link_result, VARNO_E_RESOURCES);
  EXPECT_FALSE(classic_result);
  EXPECT_EQ(log.take(), Texts{"\n openInterface !CreateEvent"});
}

TEST_F(LinkHandles, OneTransactionAtATime) {
  open();
  Handled handled;
  std::atomic<std::int32_t> from_handler{0};
  // The link is idle again when the handler runs: it may send the next command itself.
  std::atomic<int> calls{0};
  handled.during = [&] {
    if (++calls > 1) return;
    const VarnoFrame c = command(kAnswers, 4);
    from_handler = varnoLinkSend(link, &c, 100, 1000, &Handled::handler, &handled);
  };
  const VarnoFrame late = command(kLate);
  ASSERT_EQ(varnoLinkSend(link, &late, 100, 2000, &Handled::handler, &handled), VARNO_OK);
  const VarnoFrame other = command(kAnswers);
  VarnoFrame reply{};
  EXPECT_EQ(varnoLinkSend(link, &other, 100, 100, &Handled::handler, &handled), VARNO_E_BUSY);
  EXPECT_EQ(varnoLinkTransact(link, &other, 100, 100, &reply), VARNO_E_BUSY);
  EXPECT_EQ(reply.dest, 0) << "a call that starts nothing leaves the reply alone";
  ASSERT_TRUE(handled.waitFor(2));
  EXPECT_EQ(from_handler.load(), VARNO_OK);
  EXPECT_EQ(handled.calls[0].second, VARNO_REPLY);
  EXPECT_EQ(handled.calls[1].second, VARNO_REPLY);
  EXPECT_EQ(handled.calls[1].first.code, 4);
  ASSERT_TRUE(bus->waitUntilIdle(2, 5s));
  EXPECT_EQ(bus->receivedFrames().size(), 2u) << "a send told busy puts nothing on the wire";

  EXPECT_EQ(varnoLinkTransact(link, &other, 100, 1000, &reply), VARNO_REPLY);
  EXPECT_EQ(varnoLinkState(link), VARNO_STATE_IDLE);
  EXPECT_EQ(varnoLinkSend(link, &other, 100, 100, nullptr, nullptr), VARNO_E_ARGUMENT);
  EXPECT_EQ(varnoLinkState(nullptr), VARNO_E_ARGUMENT);
}

TEST_F(LinkHandles, CloseEndsAReplyWaitAtOnceWithOneHandlerCall) {
  open();
  Handled handled;
  const VarnoFrame silent = command(kSilent);
  ASSERT_EQ(varnoLinkSend(link, &silent, 100, 30000, &Handled::handler, &handled), VARNO_OK);
  ASSERT_TRUE(bus->waitForFrames(1, 5s));
  const auto start = Clock::now();
  varnoLinkClose(link);
  link = nullptr;
  EXPECT_LT(Clock::now() - start, 900ms) << "the close waited for the reply time-out";
  ASSERT_EQ(handled.count(), 1u);
  EXPECT_EQ(handled.calls[0].second, VARNO_E_CLOSED);
  expectSwapped(handled.calls[0].first, kSilent);
}

TEST_F(LinkHandles, CloseEndsATransactWaitingOnAnotherThread) {
  open();
  const VarnoFrame silent = command(kSilent);
  auto transact = std::async(std::launch::async, [&] {
    VarnoFrame reply{};
    const std::int32_t outcome = varnoLinkTransact(link, &silent, 100, 30000, &reply);
    return std::make_pair(outcome, reply);
  });
  ASSERT_TRUE(bus->waitForFrames(1, 5s));
  varnoLinkClose(link);
  link = nullptr;
  ASSERT_EQ(transact.wait_for(5s), std::future_status::ready);
  const auto [outcome, reply] = transact.get();
  EXPECT_EQ(outcome, VARNO_E_CLOSED);
  expectSwapped(reply, kSilent);
}

TEST_F(LinkHandles, AThrowingHandlerOrCallbackIsCaughtAndTheLinkGoesOn) {
  open();
  DiagnosticLog log;
  Handled handled;
  std::promise<void> thrown;
  handled.during = [&] {
    thrown.set_value();
    throw std::runtime_error("from the host");
  };
  const VarnoFrame c = command(kAnswers);
  ASSERT_EQ(varnoLinkSend(link, &c, 100, 1000, &Handled::handler, &handled), VARNO_OK);
  ASSERT_EQ(thrown.get_future().wait_for(10s), std::future_status::ready);
  VarnoFrame reply{};
  EXPECT_EQ(varnoLinkTransact(link, &c, 100, 1000, &reply), VARNO_REPLY);
  varnoLinkClose(link);  // the worker is done with the handler once the close has returned
  link = nullptr;
  EXPECT_EQ(log.take(), Texts{"\n callback exception caught"});

  // The classic callback too.
  ASSERT_TRUE(varnoOpenSerialPortA(bus->path().c_str(), 38400));
  const CallBackFunc throwing = [](std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                                   std::uint8_t, std::uint8_t, std::uint8_t*,
                                   std::int32_t) { throw std::runtime_error("from the host"); };
  EXPECT_EQ(varnoSendCommand(kAnswers, kHost, 3, 0, c.data, 100, 1000, throwing, true), 0);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), 1);
  varnoCloseSerialPort();
  EXPECT_EQ(log.take(),
            (Texts{"\n callback exception caught", "\n THREAD EXIT",
                   "\n closeInterface I/O is canceled", "\n interface has been closed"}));
}

TEST_F(LinkHandles, AHandlerMayCloseItsOwnLink) {
  const int threads_before = threadCount();
  open();
  Handled handled;
  std::promise<Clock::duration> closed;
  handled.during = [&] {
    const auto start = Clock::now();
    varnoLinkClose(link);
    closed.set_value(Clock::now() - start);
  };
  const VarnoFrame c = command(kAnswers);
  ASSERT_EQ(varnoLinkSend(link, &c, 100, 1000, &Handled::handler, &handled), VARNO_OK);
  auto took = closed.get_future();
  ASSERT_EQ(took.wait_for(10s), std::future_status::ready);
  EXPECT_LT(took.get(), 500ms) << "a close from the handler waited for itself";
  link = nullptr;
  ASSERT_TRUE(handled.waitFor(1));
  // The worker finishes the close and frees the handle once the handler has returned.
  const auto deadline = Clock::now() + 10s;
  while (threadCount() > threads_before && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(threadCount(), threads_before);
  // The port is free again.
  VarnoLink* again = nullptr;
  ASSERT_EQ(varnoLinkOpen(bus->path().c_str(), 38400, &again), VARNO_OK);
  varnoLinkClose(again);
}

TEST_F(LinkHandles, ALogHandlerTakesEveryText) {
  struct Log {
    std::mutex mutex;
    std::vector<std::string> texts;
  } received;
  const VarnoLogHandler handler = [](void* context, const char* text) {
    auto* log = static_cast<Log*>(context);
    std::lock_guard lock(log->mutex);
    log->texts.emplace_back(text);
  };
  varnoSetLogHandler(handler, &received);
  EXPECT_FALSE(varnoOpenSerialPortA("varno-no-such-port", 38400));
  EXPECT_EQ(varnoDataToUInt(nullptr), 0u);
  varnoSetLogHandler(nullptr, nullptr);
  EXPECT_EQ(received.texts, (std::vector<std::string>{"\n openInterface INVALID_HANDLE_VALUE",
                                                      "\n varnoDataToInt() data_arr error"}));
}

}  // namespace
}  // namespace varno::test
