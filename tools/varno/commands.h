// varno's commands, one file each (NAME_command.cpp): their options, the subcommand that binds
// them, and the run that returns the exit code. A bad argument found only at run time throws
// UsageError.
//
// Offline: decode, encode, data. On links (the library's public interface only, one link per
// port, one blocking transaction at a time, several ports at once on threads of their own): send,
// scan, poll. In the field: ports (which ports the machine has), monitor (what is on a bus) and
// doctor (what is wrong with a port), the last two through the terminal itself (listen_port.h).
#ifndef VARNO_TOOL_COMMANDS_H
#define VARNO_TOOL_COMMANDS_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format.h"
#include "port_links.h"
#include "reporter.h"

namespace varno::tool {

struct DecodeOptions {
  std::vector<std::string> hex;
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

struct PortsOptions {
  bool all = false;
};

struct MonitorOptions {
  std::string port;
  std::uint32_t baud = 38400;
  std::uint32_t silence_ms = 10;  // a frame is cut at this much silence
  std::uint64_t count = 0;        // stop after this many frames and faults (0: until Ctrl-C)
};

struct DoctorOptions {
  std::optional<std::string> port;             // --port
  std::optional<std::string> positional_port;  // a synonym: the port as an argument of its own
  std::uint32_t baud = 38400;
};

CLI::App* addDecodeCommand(CLI::App& app, DecodeOptions& options);
CLI::App* addEncodeCommand(CLI::App& app, RecordOptions& options);
CLI::App* addDataCommand(CLI::App& app, DataOptions& options);
CLI::App* addSendCommand(CLI::App& app, SendOptions& options);
CLI::App* addScanCommand(CLI::App& app, ScanOptions& options);
CLI::App* addPollCommand(CLI::App& app, PollOptions& options);
CLI::App* addPortsCommand(CLI::App& app, PortsOptions& options);
CLI::App* addMonitorCommand(CLI::App& app, MonitorOptions& options);
CLI::App* addDoctorCommand(CLI::App& app, DoctorOptions& options);

// Each shows what it finds through `reporter`; `output` for those with notes under --verbose.
int runDecode(const DecodeOptions& options, Reporter& reporter);
int runEncode(const RecordOptions& options, Reporter& reporter);
int runData(const DataOptions& options, Reporter& reporter);
int runSend(const SendOptions& options, const OutputOptions& output, Reporter& reporter);
int runScan(const ScanOptions& options, const OutputOptions& output, Reporter& reporter);
int runPoll(const PollOptions& options, const OutputOptions& output, Reporter& reporter);
int runPorts(const PortsOptions& options, Reporter& reporter);
int runMonitor(const MonitorOptions& options, const OutputOptions& output, Reporter& reporter);
int runDoctor(const DoctorOptions& options, Reporter& reporter);

}  // namespace varno::tool

#endif  // VARNO_TOOL_COMMANDS_H
