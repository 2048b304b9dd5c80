#include "port_links.h"

#include <algorithm>
#include <limits>

#include "format.h"

namespace varno::tool {
namespace {

using Clock = std::chrono::steady_clock;

void VARNO_CALL onLibraryText(void*, const char* text) {
  // The library's texts begin with "\n " to stand apart in a host's console; here each is a line.
  std::string line(text);
  line.erase(0, line.find_first_not_of("\n "));
  note("link: " + line);
}

void VARNO_CALL dropLibraryText(void*, const char*) {}

}  // namespace

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

// The library would take an empty name as a bad argument.
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

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

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

std::string labelFor(const LinkOptions& options, const std::string& port) {
  return options.ports.size() > 1 ? port + "  " : "";
}

void routeLibraryDiagnostics(bool verbose) {
  varnoSetLogHandler(verbose ? &onLibraryText : &dropLibraryText, nullptr);
}

}  // namespace varno::tool
