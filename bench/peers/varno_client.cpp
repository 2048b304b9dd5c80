// The library as a host program uses it: the shared library, its public header, nothing else.
//
//   peer_varno PATH BAUD COUNT|- WARMUP callback|wait|transact
//
// callback: varnoSendCommand without waiting; a sample runs from the call to the moment the
//           callback begins. Meanwhile the caller sleeps on a condition variable: no polling or
//           spinning (std::atomic::wait spins with sched_yield first) to take a core from the
//           library's worker or the simulator.
// wait:     varnoSendCommand with wait; a sample runs from the call to its return. The series
//           "return_after_callback_us" says how long after its callback each return came.
// transact: a link of the C interface, varnoLinkTransact; a sample runs from the call to its
//           return.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "peer_common.h"

namespace {

constexpr std::uint32_t kTimeoutMs = 1000;
constexpr std::int32_t kIdle = 1;

std::atomic<peers::Clock::rep> g_callback_at{0};
std::atomic<int> g_outcome{-1};  // -1 pending, else error_status, or 100 for an unexpected reply
std::mutex g_mutex;
std::condition_variable g_called;

void VARNO_CALL onReply(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                        std::uint8_t param, std::uint8_t status, std::uint8_t error,
                        std::uint8_t* data_arr, std::int32_t error_status) {
  g_callback_at = peers::Clock::now().time_since_epoch().count();
  static const std::uint8_t kZeroWord[4] = {};
  const bool expected = dest == 0x9F && source == 1 && code == 0 && param == 0 && status == 0 &&
                        error == 0 && std::memcmp(data_arr, kZeroWord, 4) == 0;
  {
    std::lock_guard lock(g_mutex);
    g_outcome = error_status != 0 ? error_status : expected ? 0 : 100;
  }
  g_called.notify_one();
}

peers::Clock::time_point callbackTime() {
  return peers::Clock::time_point{peers::Clock::duration(g_callback_at.load())};
}

// The outcome of the exchange just made: empty when the expected reply came.
std::string outcomeText() {
  const int outcome = g_outcome.load();
  if (outcome == 0) return {};
  if (outcome == 100) return "unexpected reply";
  return "outcome " + std::to_string(outcome);
}

// The link interface's blocking transaction.
int runTransact(const peers::Args& args) {
  VarnoLink* link = nullptr;
  const std::int32_t opened = varnoLinkOpen(args.path.c_str(), args.baud, &link);
  if (opened != VARNO_OK) {
    peers::fail("peer_varno: varnoLinkOpen(" + args.path + "): " + varnoErrorText(opened));
  }
  VarnoFrame command{};
  command.dest = 1;
  command.source = 31;
  peers::runBlocks(args, "peer_varno", [link, &command] {
    VarnoFrame reply;
    const auto start = peers::Clock::now();
    const std::int32_t outcome = varnoLinkTransact(link, &command, kTimeoutMs, kTimeoutMs, &reply);
    const auto returned = peers::Clock::now();
    if (outcome == VARNO_REPLY && reply.dest == 0x9F && reply.source == 1) {
      return peers::Outcome{{}, peers::microseconds(returned - start)};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return peers::Outcome{outcome == VARNO_REPLY ? "unexpected reply" : varnoErrorText(outcome)};
  });
  varnoLinkClose(link);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const peers::Args args = peers::parseArgs(argc, argv, " callback|wait|transact");
  const std::string mode = argc > 5 ? argv[5] : "";
  if (mode == "transact") return runTransact(args);
  if (mode != "callback" && mode != "wait")
    peers::fail("peer_varno: mode must be callback, wait or transact");
  const bool wait = mode == "wait";

  if (!varnoOpenSerialPort(args.path, args.baud)) {
    peers::fail("peer_varno: varnoOpenSerialPort(" + args.path + ") failed");
  }
  const std::uint8_t data[4] = {};
  auto exchange = [&data, wait] {
    g_outcome = -1;
    const auto start = peers::Clock::now();
    const std::int32_t sent =
        varnoSendCommand(1, 31, 0, 0, data, kTimeoutMs, kTimeoutMs, &onReply, wait);
    const auto returned = peers::Clock::now();
    if (sent != 0) {
      varnoCloseSerialPort();
      peers::fail("peer_varno: varnoSendCommand returned " + std::to_string(sent));
    }
    if (!wait) {
      {
        std::unique_lock lock(g_mutex);
        g_called.wait(lock, [] { return g_outcome.load() != -1; });
      }
      // The connection turns idle just after the callback returns.
      while (varnoGetSerialPortCurrentState() != kIdle) {
        if (varnoGetSerialPortCurrentState() == 0) peers::fail("peer_varno: connection closed");
        std::this_thread::yield();
      }
    }
    peers::Outcome o{outcomeText()};
    if (!o.error.empty()) {
      // Late bytes of this reply arrive meanwhile; the next send purges them.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (wait) {
      o.sample_us = peers::microseconds(returned - start);
      o.extra_us = peers::microseconds(returned - callbackTime());
    } else {
      o.sample_us = peers::microseconds(callbackTime() - start);
    }
    return o;
  };
  peers::runBlocks(args, "peer_varno", exchange, wait ? "return_after_callback_us" : nullptr);
  varnoCloseSerialPort();
  return 0;
}
