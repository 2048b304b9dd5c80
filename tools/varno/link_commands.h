// varno's commands that open a port and talk to devices: send, scan and poll.
#ifndef VARNO_TOOL_LINK_COMMANDS_H
#define VARNO_TOOL_LINK_COMMANDS_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "format.h"

namespace varno::tool {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoReply = 1;  // also: decode of bytes that are not a frame
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCannotOpen = 3;

struct OutputOptions {
  bool json = false;
  bool verbose = false;  // the library's diagnostics go to stderr
};

struct LinkOptions {
  std::string port;
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
};

// Each adds its subcommand to `app`, its options bound to `options`.
CLI::App* addSendCommand(CLI::App& app, SendOptions& options);
CLI::App* addScanCommand(CLI::App& app, ScanOptions& options);
CLI::App* addPollCommand(CLI::App& app, PollOptions& options);

// Each returns the exit code; a bad argument found only now throws UsageError.
int runSend(const SendOptions& options, const OutputOptions& output);
int runScan(const ScanOptions& options, const OutputOptions& output);
int runPoll(const PollOptions& options, const OutputOptions& output);

}  // namespace varno::tool

#endif  // VARNO_TOOL_LINK_COMMANDS_H
