// varno's field commands: ports (which ports the machine has), monitor (what is on a bus) and
// doctor (what is wrong with a port).
#ifndef VARNO_TOOL_FIELD_COMMANDS_H
#define VARNO_TOOL_FIELD_COMMANDS_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "link_commands.h"

namespace varno::tool {

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
  std::string port;
  std::uint32_t baud = 38400;
};

CLI::App* addPortsCommand(CLI::App& app, PortsOptions& options);
CLI::App* addMonitorCommand(CLI::App& app, MonitorOptions& options);
CLI::App* addDoctorCommand(CLI::App& app, DoctorOptions& options);

int runPorts(const PortsOptions& options, const OutputOptions& output);
int runMonitor(const MonitorOptions& options, const OutputOptions& output);
int runDoctor(const DoctorOptions& options, const OutputOptions& output);

}  // namespace varno::tool

#endif  // VARNO_TOOL_FIELD_COMMANDS_H
