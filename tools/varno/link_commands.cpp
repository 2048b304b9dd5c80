#include "link_commands.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "diagnostic.h"
#include "serial/connection.h"

namespace varno::tool {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kOutcomeCount = 6;

const char* outcomeText(std::int32_t outcome) {
  switch (outcome) {
    case kReplyValid:
      return "reply";
    case kWriteTimedOut:
      return "write timed out";
    case kWriteFailed:
      return "write failed";
    case kNoReply:
      return "no reply";
    case kReadFailed:
      return "read failed";
    case kReplyInvalid:
      return "invalid reply";
  }
  return "unknown outcome";
}

// The same words as JSON keys.
std::string outcomeKey(std::int32_t outcome) {
  std::string key = outcomeText(outcome);
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Microseconds are as fine as a serial line's timing gets.
double roundedMs(double ms) {
  return std::round(ms * 1000.0) / 1000.0;
}

std::string msText(double ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f ms", ms);
  return buffer;
}

// ---------------------------------------------------------------------------------------------
// The library's diagnostics. Its texts begin with "\n " so that they stand apart in a host's
// console; here they become lines of their own. While the port is being opened they are kept
// back, so that a failed open can say why on its one line.

struct DiagnosticRoute {
  std::mutex mutex;
  bool verbose = false;
  bool holding = false;
  std::vector<std::string> held;
};

// Never destroyed: the worker thread may still log while the program exits.
DiagnosticRoute& diagnosticRoute() {
  static DiagnosticRoute* const route = new DiagnosticRoute;
  return *route;
}

void routeDiagnostic(const char* text) {
  std::string line(text);
  line.erase(0, line.find_first_not_of("\n "));
  DiagnosticRoute& route = diagnosticRoute();
  std::lock_guard lock(route.mutex);
  if (route.holding) {
    route.held.push_back(line);
  } else if (route.verbose) {
    std::fprintf(stderr, "varno: link: %s\n", line.c_str());
  }
}

// ---------------------------------------------------------------------------------------------
// The callback's results. It runs on the library's worker thread; varnoSendCommand with `wait`
// returns only after it has returned, so one slot is enough, and the mutex orders the two threads'
// accesses to it.

struct CallbackResult {
  std::int32_t outcome = kNoReply;
  CommandRecord record;
  Clock::time_point at;
};

struct CallbackSlot {
  std::mutex mutex;
  bool filled = false;
  CallbackResult outcome;
};

CallbackSlot& callbackSlot() {
  static CallbackSlot* const slot = new CallbackSlot;
  return *slot;
}

void VARNO_CALL onOutcome(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                          std::uint8_t param, std::uint8_t status, std::uint8_t error,
                          std::uint8_t* data_arr, std::int32_t error_status) {
  const Clock::time_point at = Clock::now();
  CallbackSlot& slot = callbackSlot();
  std::lock_guard lock(slot.mutex);
  CommandRecord& r = slot.outcome.record;
  r.dest = dest;
  r.source = source;
  r.code = code;
  r.param = param;
  r.status = status;
  r.error = error;
  std::memcpy(r.data_arr, data_arr, kDataSize);
  slot.outcome.outcome = error_status;
  slot.outcome.at = at;
  slot.filled = true;
}

// ---------------------------------------------------------------------------------------------
// Ctrl-C: the transaction under way is let finish (cutting it would leave the device's reply on
// the line and the port's settings unrestored); the command then stops at its next step. The
// handler is reset by its first use, so a second Ctrl-C ends varno at once (a write time-out of
// 4294967295 never ends by itself).

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onInterrupt(int) {
  g_interrupted.store(true);
}

bool interrupted() {
  return g_interrupted.load();
}

// False when interrupted first.
bool sleepUntil(Clock::time_point deadline) {
  constexpr auto kSlice = std::chrono::milliseconds(20);
  for (;;) {
    if (interrupted()) return false;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, kSlice));
  }
}

struct Transaction {
  std::int32_t outcome = kNoReply;
  CommandRecord reply;  // only for kReplyValid
  double round_trip_ms = 0;
};

// The open port, for one command's run.
class Link {
 public:
  Link(const LinkOptions& options, bool verbose) : options_(options) {
    DiagnosticRoute& route = diagnosticRoute();
    {
      std::lock_guard lock(route.mutex);
      route.verbose = verbose;
      route.holding = true;
      route.held.clear();
    }
    setDiagnosticSink(&routeDiagnostic);

    struct sigaction action {};
    action.sa_handler = &onInterrupt;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_action_);

    // The worker thread starts inside the open and inherits this mask: Ctrl-C is then always
    // taken by this thread, never by one blocked in the middle of a transaction.
    sigset_t block, previous_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, &previous_mask);
    open_ = varnoOpenSerialPort(options.port, options.baud);
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);

    std::vector<std::string> held;
    {
      std::lock_guard lock(route.mutex);
      route.holding = false;
      held.swap(route.held);
    }
    if (!open_) {
      std::string line = "varno: cannot open " + options.port;
      if (verbose && !held.empty()) {
        line += ": ";
        for (std::size_t i = 0; i < held.size(); ++i) line += (i ? "; " : "") + held[i];
      }
      std::cerr << line << "\n";
    } else if (verbose) {
      for (const std::string& text : held) std::cerr << "varno: link: " << text << "\n";
    }
  }

  ~Link() {
    if (open_) varnoCloseSerialPort();
    sigaction(SIGINT, &previous_action_, nullptr);
  }

  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool open() const { return open_; }

  Transaction transact(const CommandRecord& command) {
    CallbackSlot& slot = callbackSlot();
    {
      std::lock_guard lock(slot.mutex);
      slot.filled = false;
    }
    Transaction t;
    const Clock::time_point start = Clock::now();
    const std::int32_t sent = varnoSendCommand(
        command.dest, command.source, command.code, command.param, command.data_arr,
        options_.write_timeout_ms, options_.reply_timeout_ms, &onOutcome, /*wait=*/true);
    if (sent != kSendStarted) {
      // Nothing went out; to the device that is a write that failed.
      t.outcome = kWriteFailed;
      t.round_trip_ms = milliseconds(Clock::now() - start);
      return t;
    }
    std::lock_guard lock(slot.mutex);
    if (!slot.filled) throw std::runtime_error("the link closed during a transaction");
    t.outcome = slot.outcome.outcome;
    if (t.outcome == kReplyValid) t.reply = slot.outcome.record;
    t.round_trip_ms = milliseconds(slot.outcome.at - start);
    return t;
  }

 private:
  LinkOptions options_;
  bool open_ = false;
  struct sigaction previous_action_ {};
};

// ---------------------------------------------------------------------------------------------
// Printing.

// A reply's fields on one line (for scan and poll).
std::string replyLine(const CommandRecord& r) {
  std::ostringstream out;
  out << "source " << int(r.source) << "  code " << int(r.code) << "  param " << int(r.param)
      << "  status " << int(r.status) << "  error " << int(r.error) << "  data "
      << hexText(r.data_arr, kDataSize) << " (unsigned " << varnoDataToUInt(r.data_arr)
      << ", decimal " << varnoDataToFloat(r.data_arr) << ")";
  return out.str();
}

json transactionJson(const Transaction& t) {
  return {{"outcome", t.outcome},
          {"outcome_text", outcomeText(t.outcome)},
          {"reply", t.outcome == kReplyValid ? recordJson(t.reply) : json(nullptr)},
          {"round_trip_ms", roundedMs(t.round_trip_ms)}};
}

// ---------------------------------------------------------------------------------------------
// Options.

// What the parser cannot tell: the library would take an empty name as a failed open.
void checkLinkOptions(const LinkOptions& options) {
  if (options.port.empty()) throw UsageError("--port is empty");
}

void addLinkOptions(CLI::App& app, LinkOptions& options) {
  app.add_option("--port", options.port,
                 "The serial port: a path, or a name looked up under /dev (\"ttyUSB0\")")
      ->required();
  app.add_option("--baud", options.baud, "Baud rate, any rate the port takes")
      ->capture_default_str()
      ->check(CLI::Range(std::uint32_t{1}, std::numeric_limits<std::uint32_t>::max()));
  app.add_option("--write-timeout", options.write_timeout_ms,
                 "Milliseconds for the command to go out (4294967295: no limit)")
      ->capture_default_str();
  app.add_option("--reply-timeout", options.reply_timeout_ms,
                 "Milliseconds to wait for the first byte of a reply")
      ->capture_default_str();
}

struct PollStats {
  std::uint64_t sent = 0;
  std::uint64_t by_outcome[kOutcomeCount] = {};
  std::vector<double> reply_ms;

  void add(const Transaction& t) {
    ++sent;
    if (t.outcome >= 0 && t.outcome < kOutcomeCount) ++by_outcome[t.outcome];
    if (t.outcome == kReplyValid) reply_ms.push_back(t.round_trip_ms);
  }
  std::uint64_t answers() const { return by_outcome[kReplyValid]; }

  struct Spread {
    double min, median, max;
  };
  Spread spread() const {
    std::vector<double> sorted = reply_ms;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    return {sorted.front(), median, sorted.back()};
  }

  json toJson(bool was_interrupted) const {
    json failures = json::object();
    for (int o = kWriteTimedOut; o < kOutcomeCount; ++o) failures[outcomeKey(o)] = by_outcome[o];
    json round_trip = nullptr;
    if (!reply_ms.empty()) {
      const Spread s = spread();
      round_trip = {
          {"min", roundedMs(s.min)}, {"median", roundedMs(s.median)}, {"max", roundedMs(s.max)}};
    }
    return {{"sent", sent},
            {"answers", answers()},
            {"failures", failures},
            {"round_trip_ms", round_trip},
            {"interrupted", was_interrupted}};
  }

  std::string text() const {
    std::ostringstream out;
    out << "sent " << sent << ", answers " << answers() << "\n";
    std::string failures;
    for (int o = kWriteTimedOut; o < kOutcomeCount; ++o) {
      if (by_outcome[o] == 0) continue;
      failures += (failures.empty() ? "" : ", ") + std::string(outcomeText(o)) + " " +
                  std::to_string(by_outcome[o]);
    }
    out << "failures: " << (failures.empty() ? "none" : failures) << "\n";
    if (reply_ms.empty()) {
      out << "round trip: no replies\n";
    } else {
      const Spread s = spread();
      out << "round trip: min " << msText(s.min) << ", median " << msText(s.median) << ", max "
          << msText(s.max) << "\n";
    }
    return out.str();
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------

CLI::App* addSendCommand(CLI::App& app, SendOptions& options) {
  CLI::App* send = app.add_subcommand("send", "Send one command and show the outcome");
  addLinkOptions(*send, options.link);
  addCommandOptions(*send, options.command);
  send->footer(
      "Prints the outcome (0 reply, 1 write timed out, 2 write failed, 3 no reply, 4 read\n"
      "failed, 5 invalid reply), a reply's fields, and the round trip: from the command's\n"
      "start to the outcome.\n"
      "Exit: 0 reply, 1 any other outcome, 2 bad arguments, 3 the port did not open.\n");
  return send;
}

CLI::App* addScanCommand(CLI::App& app, ScanOptions& options) {
  CLI::App* scan = app.add_subcommand("scan", "Find the devices that answer on a port");
  addLinkOptions(*scan, options.link);
  const auto address = CLI::Range(0, 127);
  scan->add_option("--from", options.from, "First address to try (0 to 127)")
      ->capture_default_str()
      ->check(address);
  scan->add_option("--to", options.to, "Last address to try, inclusive (0 to 127)")
      ->capture_default_str()
      ->check(address);
  scan->add_option("-s,--source", options.source, "Source (this host's) address (0 to 127)")
      ->default_str(std::to_string(options.source))
      ->check(address);
  scan->add_option("-c,--code", options.code, "Command code to send (0 to 127)")
      ->default_str(std::to_string(options.code))
      ->check(address);
  scan->add_option("-p,--param", options.param, "Parameter to send (0 to 255)")
      ->default_str(std::to_string(options.param));
  scan->footer(
      "Sends one command to each address in turn and lists those whose valid reply comes\n"
      "from that address; then the count. Ctrl-C stops after the address being tried.\n"
      "Exit: 0 (also when no device answers), 2 bad arguments, 3 the port did not open.\n");
  return scan;
}

CLI::App* addPollCommand(CLI::App& app, PollOptions& options) {
  CLI::App* poll = app.add_subcommand("poll", "Send one command repeatedly, with a summary");
  addLinkOptions(*poll, options.link);
  addCommandOptions(*poll, options.command);
  poll->add_option("--count", options.count, "Commands to send (0: until Ctrl-C)")
      ->capture_default_str();
  poll->add_option("--interval", options.interval_ms,
                   "Milliseconds from one command's start to the next's")
      ->capture_default_str();
  poll->footer(
      "Prints a line per transaction, then a summary: commands sent, answers, failures by\n"
      "outcome, and the replies' round trip (min, median, max). Ctrl-C lets the transaction\n"
      "under way finish, then prints the summary; a second Ctrl-C ends at once.\n"
      "With --json every transaction is one JSON object on a line of its own, and the last\n"
      "line is {\"summary\": {...}}.\n"
      "Exit: 0 at least one reply, 1 none, 2 bad arguments, 3 the port did not open.\n");
  return poll;
}

int runSend(const SendOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  const CommandRecord command = buildRecord(options.command);
  Link link(options.link, output.verbose);
  if (!link.open()) return kExitCannotOpen;
  const Transaction t = link.transact(command);
  if (output.json) {
    std::cout << transactionJson(t).dump(2) << "\n";
  } else {
    std::cout << "outcome " << t.outcome << " " << outcomeText(t.outcome) << "\n";
    if (t.outcome == kReplyValid) std::cout << recordText(t.reply);
    std::cout << "round trip " << msText(t.round_trip_ms) << "\n";
  }
  return t.outcome == kReplyValid ? kExitOk : kExitNoReply;
}

int runScan(const ScanOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  if (options.from > options.to) throw UsageError("--from is above --to");
  Link link(options.link, output.verbose);
  if (!link.open()) return kExitCannotOpen;

  json found = json::array();
  std::size_t count = 0;
  int tried_to = options.from - 1;
  for (int address = options.from; address <= options.to && !interrupted(); ++address) {
    CommandRecord command;
    command.dest = static_cast<std::uint8_t>(address);
    command.source = options.source;
    command.code = options.code;
    command.param = options.param;
    const Transaction t = link.transact(command);
    tried_to = address;
    if (t.outcome == kReplyValid && t.reply.source == address) {
      ++count;
      if (output.json) {
        found.push_back({{"address", address},
                         {"reply", recordJson(t.reply)},
                         {"round_trip_ms", roundedMs(t.round_trip_ms)}});
      } else {
        char label[16];
        std::snprintf(label, sizeof label, "device %3d  ", address);
        std::cout << label << replyLine(t.reply) << std::endl;  // as found: a scan takes a while
      }
    } else if (output.verbose && t.outcome != kNoReply) {
      std::cerr << "varno: address " << address << ": "
                << (t.outcome == kReplyValid
                        ? "a reply from " + std::to_string(t.reply.source) + ", not counted"
                        : std::string(outcomeText(t.outcome)))
                << "\n";
    }
  }
  const bool complete = tried_to == options.to;
  if (output.json) {
    std::cout << json{{"from", options.from},
                      {"to", options.to},
                      {"complete", complete},
                      {"count", count},
                      {"devices", found}}
                     .dump(2)
              << "\n";
  } else {
    std::cout << count << (count == 1 ? " device" : " devices") << " found at addresses "
              << options.from << " to " << options.to << "\n";
    if (!complete) std::cout << "interrupted: addresses after " << tried_to << " not tried\n";
  }
  return kExitOk;
}

int runPoll(const PollOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  const CommandRecord command = buildRecord(options.command);
  Link link(options.link, output.verbose);
  if (!link.open()) return kExitCannotOpen;

  PollStats stats;
  const auto interval = std::chrono::milliseconds(options.interval_ms);
  Clock::time_point next = Clock::now();
  for (std::uint64_t n = 1; options.count == 0 || n <= options.count; ++n) {
    if (!sleepUntil(next)) break;
    next = Clock::now() + interval;
    const Transaction t = link.transact(command);
    stats.add(t);
    if (output.json) {
      json line = transactionJson(t);
      line["n"] = n;
      std::cout << line.dump() << std::endl;
    } else {
      std::cout << n << "  " << outcomeText(t.outcome) << "  " << msText(t.round_trip_ms);
      if (t.outcome == kReplyValid) std::cout << "  " << replyLine(t.reply);
      std::cout << std::endl;
    }
  }
  if (output.json) {
    std::cout << json{{"summary", stats.toJson(interrupted())}}.dump() << std::endl;
  } else {
    std::cout << (interrupted() ? "interrupted\n" : "") << stats.text() << std::flush;
  }
  return stats.answers() > 0 ? kExitOk : kExitNoReply;
}

}  // namespace varno::tool
