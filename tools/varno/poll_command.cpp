// varno poll: the same command again and again, with a summary, a CSV log, reconnects.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {
namespace {

using Clock = std::chrono::steady_clock;

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

void pollPort(const PollOptions& options, const VarnoFrame& command, PortLink& link,
              PollTally& tally, Reporter& reporter) {
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
    tally.add(t);
    reporter.polled(tally, n, command.dest, time, t);
    if (options.reconnect && (t.outcome == VARNO_READ_FAILED || t.outcome == VARNO_WRITE_FAILED) &&
        (options.count == 0 || n < options.count)) {
      const Clock::time_point lost = Clock::now();
      const std::string lost_at = rfc3339(std::chrono::system_clock::now());
      std::uint64_t attempts = 0;
      const bool back = reopen(link, options, tally.port, attempts);
      const double gap = milliseconds(Clock::now() - lost);
      tally.gap_ms += gap;
      if (!back) break;
      ++tally.reconnects;
      reporter.reconnected(tally, lost_at, gap, attempts);
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

int runPoll(const PollOptions& options, const OutputOptions& output, Reporter& reporter) {
  checkLinkOptions(options.link);
  if (options.csv && output.json) throw UsageError("--csv and --json exclude each other");
  const VarnoFrame command = buildFrame(options.command);
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;

  std::vector<PollTally> tallies(links.size());
  for (std::size_t i = 0; i < tallies.size(); ++i) {
    tallies[i].port = options.link.ports[i];
    tallies[i].label = labelFor(options.link, tallies[i].port);
  }
  reporter.pollStarted();
  onEveryPort(links.size(), [&](std::size_t i) {
    pollPort(options, command, *links[i], tallies[i], reporter);
    links[i]->close();
  });

  bool every_port_answered = true;
  for (const PollTally& tally : tallies) {
    every_port_answered = every_port_answered && tally.answers() > 0;
    reporter.pollSummary(tally, stopRequested(), options.reconnect);
  }
  return every_port_answered ? kExitOk : kExitNoReply;
}

}  // namespace varno::tool
