// varno: everyday command-line use of the link.
//
// Talking to devices (any port, any baud rate; --json and --verbose go before or after the
// command):
//
//   varno send --port ttyUSB0 --dest 5 --code 3 --param 0x85 --uint 12345
//       One command, one outcome: "reply" with the reply's fields (dest without its start mark,
//       the data word as bytes, unsigned and decimal), or "write timed out", "write failed",
//       "no reply", "read failed", "invalid reply"; then the round trip in ms. The data word is
//       --uint N, --value X --decimals D, or --word "39 30 00 02" (default 0). --baud 38400,
//       --source 31, --write-timeout 100 and --reply-timeout 100 are the defaults.
//       --json: {"outcome", "outcome_text", "reply" (null unless a reply), "round_trip_ms"}.
//       Exit 0 for a reply, 1 for any other outcome.
//
//   varno scan --port /dev/ttyUSB0 [--from 1 --to 127] [--reply-timeout 50] [--code 0]
//       One command per address; lists each address whose valid reply comes from that address
//       ("device   3  source 3  code 0 ..."), then the count. --json: {"from", "to",
//       "complete", "count", "devices": [{"address", "reply", "round_trip_ms"}]}. With
//       --verbose, addresses that answered wrongly are noted on stderr. Exit 0 even when no
//       device answers.
//
//   varno poll --port ttyUSB0 --dest 5 [--count 10] [--interval 1000]
//       The same command again and again (--count 0: until Ctrl-C), --interval ms from one
//       command's start to the next. A line per transaction, then a summary: sent, answers,
//       failures by outcome, the replies' round trip min/median/max. Ctrl-C lets the
//       transaction under way finish, prints the summary and closes the port; a second Ctrl-C
//       ends at once. --json: JSON lines, one object per transaction ({"n", "outcome", ...}),
//       the last {"summary": {"sent", "answers", "failures", "round_trip_ms", "interrupted"}}.
//       Exit 0 when at least one reply came, else 1.
//
// In the field: "varno ports" (the machine's serial ports), "varno monitor --port ttyUSB1"
// (listens to a bus, never writing) and "varno doctor --port ttyUSB0" (what stands between the
// user and the port; "varno doctor ttyUSB0" as well). Offline: decode, encode and data.
// Every command that uses a port names it with --port.
//
//   Bad arguments (an unknown command included): one line on stderr, exit 2. A port that does not
//   open: "varno: cannot open PORT: <the cause>" (no such port, permission, in use, not a serial
//   port, ...), exit 3. Standard output that cannot be written (a closed pipe, a full disk):
//   exit 4. --verbose passes the library's diagnostics to stderr as "varno: link: ..." lines.
//
// varno uses the library's public interface only (VarnoDLL.h, varno_link.h), linking the shared
// library like any other host; the monitor and the doctor reach the terminal through the system
// themselves (listen_port.h), since neither may write or drive the line.
//
// This file is the app, its global flags and the dispatch: each command lives in
// NAME_command.cpp (commands.h), and what it finds goes to the one Reporter (reporter.h) that
// --json or poll's --csv chose, in text, JSON or CSV.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VarnoDLL.h"
#include "commands.h"
#include "run_control.h"

namespace {

using varno::tool::kExitUsage;
using varno::tool::UsageError;

// CLI11's messages, some of which span lines, as the one line varno prints for a bad argument.
std::string oneLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
  return text;
}

// The first word that is not an option, when it names no command: CLI11 would only say that a
// command is required.
std::optional<std::string> unknownCommand(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (!word.empty() && word[0] == '-') continue;  // varno's own options are all flags
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      if (command->get_name() == word) return std::nullopt;
    }
    return word;
  }
  return std::nullopt;
}

int run(int argc, char** argv) {
  CLI::App app{"varno: talk to addressed devices over a serial line, one 12-byte frame each way"};
  app.require_subcommand(1);
  // --json and --verbose also after the command's name.
  app.fallthrough();
  varno::tool::OutputOptions output;
  app.add_flag("--json", output.json, "Print the result as JSON");
  app.add_flag("--verbose", output.verbose, "Pass the link library's diagnostics to stderr");
  // The library's version is the project's: one number for the library, the tools, the packages.
  app.set_version_flag("--version", std::string("varno ") + varnoVersion());
  app.footer(
      "Exit codes: 0 success (send: a reply), 1 no reply, not a frame, or another failure\n"
      "named on stderr, 2 bad arguments, 3 the port did not open (also: in use by another\n"
      "program), 4 standard output could not be written.\n"
      "\"varno COMMAND --help\" describes each command.\n");

  varno::tool::DecodeOptions decode_options;
  auto* decode = varno::tool::addDecodeCommand(app, decode_options);
  varno::tool::RecordOptions encode_options;
  auto* encode = varno::tool::addEncodeCommand(app, encode_options);
  varno::tool::DataOptions data_options;
  auto* data = varno::tool::addDataCommand(app, data_options);

  varno::tool::SendOptions send_options;
  auto* send = varno::tool::addSendCommand(app, send_options);
  varno::tool::ScanOptions scan_options;
  auto* scan = varno::tool::addScanCommand(app, scan_options);
  varno::tool::PollOptions poll_options;
  auto* poll = varno::tool::addPollCommand(app, poll_options);
  varno::tool::PortsOptions ports_options;
  auto* ports = varno::tool::addPortsCommand(app, ports_options);
  varno::tool::MonitorOptions monitor_options;
  auto* monitor = varno::tool::addMonitorCommand(app, monitor_options);
  varno::tool::DoctorOptions doctor_options;
  auto* doctor = varno::tool::addDoctorCommand(app, doctor_options);

  if (const auto word = unknownCommand(app, argc, argv)) {
    std::string names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      names += (names.empty() ? "" : ", ") + command->get_name();
    }
    std::cerr << "varno: unknown command '" << *word << "' (commands: " << names << ")\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a parse "error" that exits 0; real ones all exit 2.
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "varno: " << oneLine(e.what()) << " (see --help)\n";
    return kExitUsage;
  }
  varno::tool::routeLibraryDiagnostics(output.verbose);
  varno::tool::setStopNotice(output.verbose);

  // The format, decided here once: the commands only report.
  const std::unique_ptr<varno::tool::Reporter> reporter =
      varno::tool::makeReporter(output, /*csv=*/*poll && poll_options.csv);
  try {
    if (*decode) return varno::tool::runDecode(decode_options, *reporter);
    if (*encode) return varno::tool::runEncode(encode_options, *reporter);
    if (*data) return varno::tool::runData(data_options, *reporter);
    if (*send) return varno::tool::runSend(send_options, output, *reporter);
    if (*scan) return varno::tool::runScan(scan_options, output, *reporter);
    if (*poll) return varno::tool::runPoll(poll_options, output, *reporter);
    if (*ports) return varno::tool::runPorts(ports_options, *reporter);
    if (*monitor) return varno::tool::runMonitor(monitor_options, output, *reporter);
    if (*doctor) return varno::tool::runDoctor(doctor_options, *reporter);
  } catch (const UsageError& e) {
    std::cerr << "varno: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "varno: " << oneLine(e.what()) << "\n";
    return 1;
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any other thread exists, so that every thread inherits the blocked stop signals.
  varno::tool::startRunControl();
  const int code = run(argc, argv);
  if (!varno::tool::finishOutput()) {
    std::cerr << "varno: standard output could not be written\n";
    return varno::tool::kExitOutput;
  }
  return code;
}
