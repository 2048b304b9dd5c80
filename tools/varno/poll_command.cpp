// varno poll: the same command again and again, with a summary, a CSV log, reconnects.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
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
      json line = transactionJson(t.outcome, t.reply, t.round_trip_ms);
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
