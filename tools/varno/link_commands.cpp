#include "link_commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "stats.h"

namespace varno::tool {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kOutcomeCount = 6;

// The same words as JSON keys.
std::string outcomeKey(std::int32_t outcome) {
  std::string key = outcomeText(outcome);
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string msText(double ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f ms", ms);
  return buffer;
}

void note(const std::string& text) {
  std::fprintf(stderr, "varno: %s\n", text.c_str());
}

void VARNO_CALL onLibraryText(void*, const char* text) {
  // The library's texts begin with "\n " to stand apart in a host's console; here each is a line.
  std::string line(text);
  line.erase(0, line.find_first_not_of("\n "));
  note("link: " + line);
}

void VARNO_CALL dropLibraryText(void*, const char*) {}

struct Transaction {
  // 0..5, VARNO_E_CLOSED (cut by a second signal) or VARNO_E_QUEUE_TIMEOUT (a gateway's busy bus)
  std::int32_t outcome = VARNO_NO_REPLY;
  VarnoFrame reply{};  // only for VARNO_REPLY
  double round_trip_ms = 0;
};

Transaction transact(PortLink& link, const LinkOptions& options, const VarnoFrame& command) {
  Transaction t;
  VarnoFrame reply{};
  const Clock::time_point start = Clock::now();
  const std::int32_t result =
      link.transact(command, options.write_timeout_ms, options.reply_timeout_ms, reply);
  t.round_trip_ms = milliseconds(Clock::now() - start);
  if (result == VARNO_E_CLOSED || result == VARNO_E_QUEUE_TIMEOUT) {
    t.outcome = result;
  } else if (result < 0) {
    // Nothing went out (the write could not start); to the device that is a write that failed.
    t.outcome = VARNO_WRITE_FAILED;
  } else {
    t.outcome = result;
    if (result == VARNO_REPLY) t.reply = reply;
  }
  return t;
}

// Opens a link on every port, or none: each failure is one line naming its cause.
bool openAll(const LinkOptions& options, bool verbose,
             std::vector<std::unique_ptr<PortLink>>& links) {
  bool all = true;
  for (const std::string& port : options.ports) {
    links.push_back(std::make_unique<PortLink>());
    const std::int32_t result = links.back()->open(port, options.baud);
    if (result != VARNO_OK) {
      note("cannot open " + port + ": " + varnoErrorText(result));
      all = false;
    } else if (verbose) {
      note(port + ": open at " + std::to_string(options.baud) + " baud");
    }
  }
  if (!all) links.clear();
  return all;
}

// "PORT  " before each line when there are several ports.
std::string labelFor(const LinkOptions& options, const std::string& port) {
  return options.ports.size() > 1 ? port + "  " : "";
}

// A reply's fields on one line (for scan and poll).
std::string replyLine(const VarnoFrame& r) {
  std::ostringstream out;
  out << "source " << int(r.source) << "  code " << int(r.code) << "  param " << int(r.param)
      << "  status " << int(r.status) << "  error " << int(r.error) << "  data "
      << hexText(r.data, kDataSize) << " (unsigned " << varnoDataToUInt(r.data) << ", decimal "
      << decimalText(r.data) << ")";
  return out.str();
}

json transactionJson(const Transaction& t) {
  return tool::transactionJson(t.outcome, t.reply, t.round_trip_ms);
}

// What the parser cannot tell: the library would take an empty name as a bad argument.
void checkLinkOptions(const LinkOptions& options) {
  for (const std::string& port : options.ports) {
    if (port.empty()) throw UsageError("--port is empty");
  }
  for (std::size_t i = 0; i < options.ports.size(); ++i) {
    if (std::count(options.ports.begin(), options.ports.end(), options.ports[i]) > 1) {
      throw UsageError("--port " + options.ports[i] + " given twice");
    }
  }
}

void addLinkOptions(CLI::App& app, LinkOptions& options, bool several) {
  app.add_option("--port", options.ports,
                 several ? "A serial port: a path, a name under /dev (\"ttyUSB0\") or a network "
                           "port name; repeat for several ports, worked at the same time"
                         : "The serial port: a path, a name under /dev (\"ttyUSB0\") or a "
                           "network port name")
      ->required()
      ->expected(1)
      ->multi_option_policy(several ? CLI::MultiOptionPolicy::TakeAll
                                    : CLI::MultiOptionPolicy::Throw);
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

// Runs `work(i)` for every port at once, one thread each, and waits for them all. An exception
// in one is thrown again here, once all have ended: escaping its thread it would end the process
// with the ports still set as the links left them.
template <typename F>
void onEveryPort(std::size_t ports, F work) {
  std::vector<std::exception_ptr> failures(ports);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < ports; ++i) {
    threads.emplace_back([&, i] {
      try {
        work(i);
      } catch (...) {
        failures[i] = std::current_exception();
        requestStop();  // the other ports stop too
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// ---------------------------------------------------------------------------------------------
// Poll.

struct PollRun {
  std::string port;
  std::uint64_t sent = 0;
  std::uint64_t by_outcome[kOutcomeCount] = {};
  std::uint64_t queue_timeouts = 0;  // varno://: the gateway's bus was busy too long
  RoundTripStats round_trips;
  std::uint64_t reconnects = 0;
  double gap_ms = 0;  // time spent without the port, all gaps together

  void add(const Transaction& t) {
    ++sent;
    if (t.outcome >= 0 && t.outcome < kOutcomeCount) ++by_outcome[t.outcome];
    if (t.outcome == VARNO_E_QUEUE_TIMEOUT) ++queue_timeouts;
    if (t.outcome == VARNO_REPLY) round_trips.add(t.round_trip_ms);
  }
  std::uint64_t answers() const { return by_outcome[VARNO_REPLY]; }

  json toJson(bool was_interrupted, bool with_reconnects) const {
    json failures = json::object();
    for (int o = VARNO_WRITE_TIMEOUT; o < kOutcomeCount; ++o) {
      failures[outcomeKey(o)] = by_outcome[o];
    }
    if (queue_timeouts > 0) failures[outcomeKey(VARNO_E_QUEUE_TIMEOUT)] = queue_timeouts;
    json round_trip = nullptr;
    if (round_trips.count() > 0) {
      round_trip = {{"min", roundedMs(round_trips.min())},
                    {"median", roundedMs(round_trips.median())},
                    {"max", roundedMs(round_trips.max())}};
    }
    json out = {{"sent", sent},
                {"answers", answers()},
                {"failures", failures},
                {"round_trip_ms", round_trip},
                {"interrupted", was_interrupted}};
    out["port"] = port;
    if (with_reconnects) {
      out["reconnects"] = reconnects;
      out["gap_ms"] = roundedMs(gap_ms);
    }
    return out;
  }

  std::vector<std::string> text(bool with_reconnects) const {
    std::vector<std::string> out;
    out.push_back("sent " + std::to_string(sent) + ", answers " + std::to_string(answers()));
    std::string failures;
    for (int o = VARNO_WRITE_TIMEOUT; o < kOutcomeCount; ++o) {
      if (by_outcome[o] == 0) continue;
      failures += (failures.empty() ? "" : ", ") + std::string(outcomeText(o)) + " " +
                  std::to_string(by_outcome[o]);
    }
    if (queue_timeouts > 0) {
      failures += (failures.empty() ? "" : ", ") + std::string(outcomeText(VARNO_E_QUEUE_TIMEOUT)) +
                  " " + std::to_string(queue_timeouts);
    }
    out.push_back("failures: " + (failures.empty() ? std::string("none") : failures));
    if (round_trips.count() == 0) {
      out.push_back("round trip: no replies");
    } else {
      out.push_back("round trip: min " + msText(round_trips.min()) + ", median " +
                    msText(round_trips.median()) + ", max " + msText(round_trips.max()));
    }
    if (with_reconnects) {
      char gap[64];
      std::snprintf(gap, sizeof gap, "%.3f s", gap_ms / 1000.0);
      out.push_back("reconnects " + std::to_string(reconnects) + ", without the port " + gap);
    }
    return out;
  }
};

const char* const kCsvHeader =
    "time,port,n,address,outcome,outcome_text,round_trip_ms,source,code,param,status,error,"
    "data_bytes,data_uint,data_decimal";

std::string csvRow(const std::string& time, const std::string& port, std::uint64_t n,
                   std::uint8_t address, const Transaction& t) {
  char round_trip[32];
  std::snprintf(round_trip, sizeof round_trip, "%.3f", t.round_trip_ms);
  std::string row = time + "," + csvField(port) + "," + std::to_string(n) + "," +
                    std::to_string(address) + "," + std::to_string(t.outcome) + "," +
                    outcomeText(t.outcome) + "," + round_trip;
  if (t.outcome == VARNO_REPLY) {
    const VarnoFrame& r = t.reply;
    row += "," + std::to_string(r.source) + "," + std::to_string(r.code) + "," +
           std::to_string(r.param) + "," + std::to_string(r.status) + "," +
           std::to_string(r.error) + "," + hexText(r.data, kDataSize) + "," +
           std::to_string(varnoDataToUInt(r.data)) + "," + decimalText(r.data);
  } else {
    row += ",,,,,,,,";
  }
  return row;
}

// After a read failure or a write failure (the port gone): closes the link and opens it again,
// waiting 100 ms, then twice as long each time up to the limit. False when stopped first.
bool reopen(PortLink& link, const PollOptions& options, const std::string& port,
            std::uint64_t& attempts) {
  link.close();
  std::uint32_t delay = 100;
  for (;;) {
    if (!sleepMs(delay)) return false;
    ++attempts;
    if (link.open(port, options.link.baud) == VARNO_OK) return true;
    delay = std::min<std::uint64_t>(std::uint64_t{delay} * 2,
                                    std::max<std::uint32_t>(options.reconnect_max_ms, 1));
  }
}

void pollPort(const PollOptions& options, const OutputOptions& output, const VarnoFrame& command,
              PortLink& link, PollRun& run) {
  const std::string label = labelFor(options.link, run.port);
  const auto interval = std::chrono::milliseconds(options.interval_ms);
  Clock::time_point next = Clock::now();
  for (std::uint64_t n = 1; options.count == 0 || n <= options.count; ++n) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    if (stopRequested() ||
        (wait.count() > 0 && !sleepMs(static_cast<std::uint32_t>(wait.count())))) {
      break;
    }
    next = Clock::now() + interval;
    const std::string time = rfc3339(std::chrono::system_clock::now());
    const Transaction t = transact(link, options.link, command);
    if (t.outcome == VARNO_E_CLOSED) break;  // a second signal
    run.add(t);
    if (options.csv) {
      printLine(csvRow(time, run.port, n, command.dest, t));
    } else if (output.json) {
      json line = transactionJson(t);
      line["n"] = n;
      line["time"] = time;
      line["port"] = run.port;
      printLine(jsonText(line));
    } else {
      std::string line = label + std::to_string(n) + "  " + outcomeText(t.outcome) + "  " +
                         msText(t.round_trip_ms);
      if (t.outcome == VARNO_REPLY) line += "  " + replyLine(t.reply);
      printLine(line);
    }
    if (options.reconnect && (t.outcome == VARNO_READ_FAILED || t.outcome == VARNO_WRITE_FAILED) &&
        (options.count == 0 || n < options.count)) {
      const Clock::time_point lost = Clock::now();
      const std::string lost_at = rfc3339(std::chrono::system_clock::now());
      std::uint64_t attempts = 0;
      const bool back = reopen(link, options, run.port, attempts);
      const double gap = milliseconds(Clock::now() - lost);
      run.gap_ms += gap;
      if (!back) break;
      ++run.reconnects;
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", gap / 1000.0);
      if (options.csv) {
        note(run.port + ": reconnected after " + seconds + " s (" + std::to_string(attempts) +
             (attempts == 1 ? " attempt)" : " attempts)"));
      } else if (output.json) {
        printLine(jsonText({{"reconnect",
                             {{"port", run.port},
                              {"lost", lost_at},
                              {"gap_ms", roundedMs(gap)},
                              {"attempts", attempts}}}}));
      } else {
        printLine(label + "reconnected after " + seconds + " s (" + std::to_string(attempts) +
                  (attempts == 1 ? " attempt)" : " attempts)"));
      }
      next = Clock::now();
    }
  }
}

}  // namespace

std::string rfc3339(std::chrono::system_clock::time_point at) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[64];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buffer + n, sizeof buffer - n, ".%06lldZ",
                static_cast<long long>(micros % 1000000));
  return buffer;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void routeLibraryDiagnostics(bool verbose) {
  varnoSetLogHandler(verbose ? &onLibraryText : &dropLibraryText, nullptr);
}

// ---------------------------------------------------------------------------------------------

CLI::App* addSendCommand(CLI::App& app, SendOptions& options) {
  CLI::App* send = app.add_subcommand("send", "Send one command and show the outcome");
  addLinkOptions(*send, options.link, /*several=*/false);
  addCommandOptions(*send, options.command);
  send->footer(
      "Prints the outcome (0 reply, 1 write timed out, 2 write failed, 3 no reply, 4 read\n"
      "failed, 5 invalid reply; -21 a varno:// gateway's bus stayed busy too long), a reply's\n"
      "fields, and the round trip: from the command's start to the outcome.\n"
      "Exit: 0 reply, 1 any other outcome, 2 bad arguments, 3 the port did not open.\n");
  return send;
}

CLI::App* addScanCommand(CLI::App& app, ScanOptions& options) {
  CLI::App* scan = app.add_subcommand("scan", "Find the devices that answer on a port");
  addLinkOptions(*scan, options.link, /*several=*/true);
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
      "Several --port options scan those ports at the same time; each line then begins\n"
      "with its port, and --json gives {\"ports\": [one object per port]}.\n"
      "Exit: 0 (also when no device answers), 2 bad arguments, 3 a port did not open.\n");
  return scan;
}

CLI::App* addPollCommand(CLI::App& app, PollOptions& options) {
  CLI::App* poll = app.add_subcommand("poll", "Send one command repeatedly, with a summary");
  addLinkOptions(*poll, options.link, /*several=*/true);
  addCommandOptions(*poll, options.command);
  poll->add_option("--count", options.count, "Commands to send (0: until Ctrl-C)")
      ->capture_default_str();
  poll->add_option("--interval", options.interval_ms,
                   "Milliseconds from one command's start to the next's")
      ->capture_default_str();
  poll->add_flag("--csv", options.csv,
                 "One CSV row per transaction (with a header row), for a log");
  poll->add_flag("--reconnect", options.reconnect,
                 "After a read or write failure, re-open the port with a growing delay");
  poll->add_option("--reconnect-max-delay", options.reconnect_max_ms,
                   "Longest delay between two attempts to re-open, in ms")
      ->capture_default_str();
  poll->footer(
      "Prints a line per transaction, then a summary: commands sent, answers, failures by\n"
      "outcome, and the replies' round trip (min, median, max). Ctrl-C lets the transaction\n"
      "under way finish, then prints the summary; a second Ctrl-C ends at once.\n"
      "With --json every transaction is one JSON object on a line of its own, and the last\n"
      "line is {\"summary\": {...}}. With --csv: a header row, then one row per transaction\n"
      "(time, port, n, address, outcome, outcome_text, round_trip_ms, the reply's source,\n"
      "code, param, status, error, data bytes, unsigned and decimal); no summary.\n"
      "--reconnect: after a read failure or a vanished port, the port is closed and opened\n"
      "again after 100 ms, then twice as long each time up to --reconnect-max-delay, until it\n"
      "opens or Ctrl-C; each gap is reported and the summary counts them.\n"
      "Several --port options poll those ports at the same time, one line per transaction\n"
      "labelled with its port, and a summary per port.\n"
      "Exit: 0 every port answered at least once, 1 not, 2 bad arguments, 3 a port did not\n"
      "open.\n");
  return poll;
}

int runSend(const SendOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  const VarnoFrame command = buildFrame(options.command);
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;
  const Transaction t = transact(*links[0], options.link, command);
  links.clear();  // the port's settings are back before anything is printed
  if (t.outcome == VARNO_E_CLOSED) {
    note("interrupted");
    return kExitNoReply;
  }
  if (output.json) {
    printLine(jsonText(transactionJson(t), 2));
  } else {
    std::string text = "outcome " + std::to_string(t.outcome) + " " + outcomeText(t.outcome) + "\n";
    if (t.outcome == VARNO_REPLY) text += recordText(t.reply);
    text += "round trip " + msText(t.round_trip_ms) + "\n";
    printText(text);
  }
  return t.outcome == VARNO_REPLY ? kExitOk : kExitNoReply;
}

int runScan(const ScanOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  if (options.from > options.to) throw UsageError("--from is above --to");
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;

  struct ScanRun {
    json found = json::array();
    std::size_t count = 0;
    int tried_to = 0;
  };
  std::vector<ScanRun> runs(links.size());
  onEveryPort(links.size(), [&](std::size_t i) {
    const std::string& port = options.link.ports[i];
    const std::string label = labelFor(options.link, port);
    ScanRun& run = runs[i];
    run.tried_to = options.from - 1;
    for (int address = options.from; address <= options.to && !stopRequested(); ++address) {
      VarnoFrame command{};
      command.dest = static_cast<std::uint8_t>(address);
      command.source = options.source;
      command.code = options.code;
      command.param = options.param;
      const Transaction t = transact(*links[i], options.link, command);
      if (t.outcome == VARNO_E_CLOSED) break;
      run.tried_to = address;
      if (t.outcome == VARNO_REPLY && t.reply.source == address) {
        ++run.count;
        if (output.json) {
          run.found.push_back({{"address", address},
                               {"reply", recordJson(t.reply)},
                               {"round_trip_ms", roundedMs(t.round_trip_ms)}});
        } else {
          char device[16];
          std::snprintf(device, sizeof device, "device %3d  ", address);
          printLine(label + device + replyLine(t.reply));  // as found: a scan takes a while
        }
      } else if (output.verbose && t.outcome != VARNO_NO_REPLY) {
        note((options.link.ports.size() > 1 ? port + ": " : std::string()) + "address " +
             std::to_string(address) + ": " +
             (t.outcome == VARNO_REPLY
                  ? "a reply from " + std::to_string(t.reply.source) + ", not counted"
                  : std::string(outcomeText(t.outcome))));
      }
    }
    links[i]->close();
  });

  json all = json::array();
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const ScanRun& run = runs[i];
    const bool complete = run.tried_to == options.to;
    if (output.json) {
      all.push_back({{"port", options.link.ports[i]},
                     {"from", options.from},
                     {"to", options.to},
                     {"complete", complete},
                     {"count", run.count},
                     {"devices", run.found}});
    } else {
      const std::string label = labelFor(options.link, options.link.ports[i]);
      printLine(label + std::to_string(run.count) + (run.count == 1 ? " device" : " devices") +
                " found at addresses " + std::to_string(options.from) + " to " +
                std::to_string(options.to));
      if (!complete) {
        printLine(label + "interrupted: addresses after " + std::to_string(run.tried_to) +
                  " not tried");
      }
    }
  }
  if (output.json) printLine(jsonText(all.size() == 1 ? all[0] : json{{"ports", all}}, 2));
  return kExitOk;
}

int runPoll(const PollOptions& options, const OutputOptions& output) {
  checkLinkOptions(options.link);
  if (options.csv && output.json) throw UsageError("--csv and --json exclude each other");
  const VarnoFrame command = buildFrame(options.command);
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;

  std::vector<PollRun> runs(links.size());
  for (std::size_t i = 0; i < runs.size(); ++i) runs[i].port = options.link.ports[i];
  if (options.csv) printLine(kCsvHeader);
  onEveryPort(links.size(), [&](std::size_t i) {
    pollPort(options, output, command, *links[i], runs[i]);
    links[i]->close();
  });

  bool every_port_answered = true;
  for (const PollRun& run : runs) {
    every_port_answered = every_port_answered && run.answers() > 0;
    if (options.csv) continue;
    if (output.json) {
      printLine(jsonText({{"summary", run.toJson(stopRequested(), options.reconnect)}}));
    } else {
      const std::string label = labelFor(options.link, run.port);
      if (stopRequested() && !outputFailed()) printLine(label + "interrupted");
      for (const std::string& line : run.text(options.reconnect)) printLine(label + line);
    }
  }
  return every_port_answered ? kExitOk : kExitNoReply;
}

}  // namespace varno::tool
