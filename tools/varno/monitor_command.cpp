// varno monitor: what is on a bus, listening only.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bus_frames.h"
#include "commands.h"
#include "listen_port.h"

namespace varno::tool {

using SteadyClock = std::chrono::steady_clock;

CLI::App* addMonitorCommand(CLI::App& app, MonitorOptions& options) {
  CLI::App* monitor = app.add_subcommand("monitor", "Listen to a bus without ever writing to it");
  monitor->add_option("--port", options.port, "The serial port to listen on")->required();
  monitor->add_option("--baud", options.baud, "The bus's baud rate")
      ->capture_default_str()
      ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{0xFFFFFFFF}));
  monitor->add_option("--silence", options.silence_ms, "Milliseconds of silence that end a frame")
      ->capture_default_str()
      ->check(CLI::Range(1, 10000));
  monitor
      ->add_option("--count", options.count,
                   "Stop after this many frames and faults (0: until Ctrl-C)")
      ->capture_default_str();
  monitor->footer(
      "Opens the port read-only and exclusively, drops RTS and DTR, and never writes; a port\n"
      "that another program has open (locked or not) is not opened at all. The\n"
      "byte stream is cut into frames at each start mark (bit 7) and at 10 ms of silence; each\n"
      "is printed with the time its first byte was read (RFC 3339, UTC, microseconds), and\n"
      "either its fields (\"dest <- source\", code, param, status, error, data) or what is\n"
      "wrong with it: bad CRC, cut short (a start mark, then fewer than 12 bytes), stray bytes\n"
      "(no start mark). Ctrl-C prints a summary: frames, faults, frames per address.\n"
      "--json: one object per line ({\"time\", \"bytes\", \"valid\", \"frame\" or \"fault\"}), "
      "the\n"
      "last {\"summary\": {\"frames\", \"faults\", \"by_address\"}}.\n"
      "A local serial port only (Linux). Exit: 0, 1 the port went away, 2 bad arguments,\n"
      "3 the port did not open (in use: the programs holding it are named).\n");
  return monitor;
}

int runMonitor(const MonitorOptions& options, const OutputOptions& output, Reporter& reporter) {
  if (options.port.empty()) throw UsageError("--port is empty");
  if (isNetworkPortName(options.port)) {
    throw UsageError("monitor listens on a local serial port only, not " + options.port);
  }
  ListenPort port;
  const char* step = "";
  if (const int error = port.open(options.port, step); error != 0) {
    std::string cause = std::strerror(error);
    if (error == EBUSY) {
      const std::string who = port.holders().empty() ? std::string("another program")
                                                     : "process " + holdersText(port.holders());
      cause = "in use by " + who + " (listen through a second adapter)";
    }
    if (error == ENOTTY) cause = "not a serial port";
    std::fprintf(stderr, "varno: cannot open %s: %s\n", options.port.c_str(), cause.c_str());
    return kExitCannotOpen;
  }
  if (!port.listenAt(options.baud)) {
    std::fprintf(stderr, "varno: cannot listen on %s at %u baud: %s\n", options.port.c_str(),
                 options.baud, std::strerror(errno));
    return kExitCannotOpen;
  }
  port.discardInput();  // from now on
  if (output.verbose) {
    std::fprintf(stderr, "varno: %s: listening at %u baud\n", options.port.c_str(), options.baud);
  }

  MonitorTally tally;
  std::uint64_t shown = 0;
  FrameCutter cutter(std::chrono::milliseconds(options.silence_ms), [&](const BusEvent& event) {
    ++tally.faults[static_cast<int>(event.fault)];
    if (event.fault == BusFault::kNone) {
      ++tally.frames;
      ++tally.by_address[event.frame.dest & 0x7F];
    }
    ++shown;
    reporter.heard(event);
  });

  bool vanished = false;
  const auto done = [&] { return options.count != 0 && shown >= options.count; };
  std::uint8_t buffer[4096];
  while (!stopRequested() && !done()) {
    // Wake for the silence that ends a frame, and now and then to look for a stop.
    const SteadyClock::time_point now = SteadyClock::now();
    const SteadyClock::time_point deadline =
        std::min(cutter.deadline(), now + std::chrono::milliseconds(100));
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd p{port.fd(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<long long>(wait, 0)));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      const ssize_t got = ::read(port.fd(), buffer, sizeof buffer);
      const BusStamp at{SteadyClock::now(), std::chrono::system_clock::now()};
      if (got > 0) {
        cutter.feed(buffer, static_cast<std::size_t>(got), at);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        vanished = true;  // a hang-up: the adapter was pulled, or the line closed
        break;
      }
    }
    cutter.tick(SteadyClock::now());
  }
  if (!done()) cutter.flush();

  reporter.monitorSummary(tally, vanished);
  return vanished ? kExitNoReply : kExitOk;
}

}  // namespace varno::tool
