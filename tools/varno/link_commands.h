// varno's commands that open links and talk to devices: send, scan and poll. They use the
// library's public interface only: one link per port (varnoLinkOpen), one blocking transaction at
// a time on it (varnoLinkTransact), several ports at once on threads of their own.
#ifndef VARNO_TOOL_LINK_COMMANDS_H
#define VARNO_TOOL_LINK_COMMANDS_H

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "format.h"
#include "run_control.h"

namespace varno::tool {

struct OutputOptions {
  bool json = false;
  bool verbose = false;  // the library's diagnostics and varno's own notes go to stderr
};

struct LinkOptions {
  std::vector<std::string> ports;
  std::uint32_t baud = 38400;
  std::uint32_t write_timeout_ms = 100;
  std::uint32_t reply_timeout_ms = 100;
};

struct SendOptions {
  LinkOptions link;
  RecordOptions command;
};

struct ScanOptions {
  ScanOptions() { link.reply_timeout_ms = 50; }  // an address nobody has costs only this long

  LinkOptions link;
  int from = 1;
  int to = 127;
  std::uint8_t source = 31;
  std::uint8_t code = 0;
  std::uint8_t param = 0;
};

struct PollOptions {
  LinkOptions link;
  RecordOptions command;
  std::uint32_t count = 10;  // 0: until interrupted
  std::uint32_t interval_ms = 1000;
  bool csv = false;
  bool reconnect = false;
  std::uint32_t reconnect_max_ms = 5000;  // the longest delay between two attempts
};

// Each adds its subcommand to `app`, its options bound to `options`.
CLI::App* addSendCommand(CLI::App& app, SendOptions& options);
CLI::App* addScanCommand(CLI::App& app, ScanOptions& options);
CLI::App* addPollCommand(CLI::App& app, PollOptions& options);

// Each returns the exit code; a bad argument found only now throws UsageError.
int runSend(const SendOptions& options, const OutputOptions& output);
int runScan(const ScanOptions& options, const OutputOptions& output);
int runPoll(const PollOptions& options, const OutputOptions& output);

// "2026-12-08T05:29:04.123456Z": `at` in RFC 3339, UTC, to the microsecond.
std::string rfc3339(std::chrono::system_clock::time_point at);
// One CSV field, quoted where it must be.
std::string csvField(const std::string& text);
// --verbose: the library's diagnostics as "varno: link: ..." lines on stderr.
void routeLibraryDiagnostics(bool verbose);

}  // namespace varno::tool

#endif  // VARNO_TOOL_LINK_COMMANDS_H
