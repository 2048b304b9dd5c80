// The links of send, scan and poll: their --port, --baud and time-out options, every port opened
// or none, one timed transaction, and work on every port at once, a thread each.
#ifndef VARNO_TOOL_PORT_LINKS_H
#define VARNO_TOOL_PORT_LINKS_H

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "run_control.h"
#include "varno_link.h"

namespace varno::tool {

struct LinkOptions {
  std::vector<std::string> ports;
  std::uint32_t baud = 38400;
  std::uint32_t write_timeout_ms = 100;
  std::uint32_t reply_timeout_ms = 100;
};

// --port (once, or with `several` as often as wanted), --baud and the two time-outs.
void addLinkOptions(CLI::App& app, LinkOptions& options, bool several);
// What the parser cannot tell: an empty port name, a port given twice.
void checkLinkOptions(const LinkOptions& options);

struct Transaction {
  // 0..5, VARNO_E_CLOSED (cut by a second signal) or VARNO_E_QUEUE_TIMEOUT (a gateway's busy bus)
  std::int32_t outcome = VARNO_NO_REPLY;
  VarnoFrame reply{};  // only for VARNO_REPLY
  double round_trip_ms = 0;
};

double milliseconds(std::chrono::steady_clock::duration d);

// One command and its outcome, timed from the command's start to the outcome.
Transaction transact(PortLink& link, const LinkOptions& options, const VarnoFrame& command);

// Opens a link on every port, or none: each failure is one line naming its cause.
bool openAll(const LinkOptions& options, bool verbose,
             std::vector<std::unique_ptr<PortLink>>& links);

// "PORT  " before each line when there are several ports.
std::string labelFor(const LinkOptions& options, const std::string& port);

// --verbose: the library's diagnostics as "varno: link: ..." lines on stderr.
void routeLibraryDiagnostics(bool verbose);

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

}  // namespace varno::tool

#endif  // VARNO_TOOL_PORT_LINKS_H
