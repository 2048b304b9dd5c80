// varno scan: which addresses answer for themselves, on one port or several at once.
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {

CLI::App* addScanCommand(CLI::App& app, ScanOptions& options) {
  CLI::App* scan = app.add_subcommand("scan", "Find the devices that answer on a port");
  addLinkOptions(*scan, options.link, /*several=*/true);
  const auto address = CLI::Range(0, 127);
  scan->add_option("--from", options.from, "First address to try (0 to 127)")
      ->capture_default_str()
      ->check(address);
  scan->add_option("--to", options.to, "Last address to try, inclusive (0 to 127)")
      ->capture_default_str()
      ->check(address);
  scan->add_option("-s,--source", options.source, "Source (this host's) address (0 to 127)")
      ->default_str(std::to_string(options.source))
      ->check(address);
  scan->add_option("-c,--code", options.code, "Command code to send (0 to 127)")
      ->default_str(std::to_string(options.code))
      ->check(address);
  scan->add_option("-p,--param", options.param, "Parameter to send (0 to 255)")
      ->default_str(std::to_string(options.param));
  scan->footer(
      "Sends one command to each address in turn and lists those whose valid reply comes\n"
      "from that address; then the count. Ctrl-C stops after the address being tried.\n"
      "Several --port options scan those ports at the same time; each line then begins\n"
      "with its port, and --json gives {\"ports\": [one object per port]}.\n"
      "Exit: 0 (also when no device answers), 2 bad arguments, 3 a port did not open.\n");
  return scan;
}

int runScan(const ScanOptions& options, const OutputOptions& output, Reporter& reporter) {
  checkLinkOptions(options.link);
  if (options.from > options.to) throw UsageError("--from is above --to");
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;

  std::vector<ScanResult> results(links.size());
  onEveryPort(links.size(), [&](std::size_t i) {
    ScanResult& run = results[i];
    run.port = options.link.ports[i];
    run.label = labelFor(options.link, run.port);
    run.tried_to = options.from - 1;
    for (int address = options.from; address <= options.to && !stopRequested(); ++address) {
      VarnoFrame command{};
      command.dest = static_cast<std::uint8_t>(address);
      command.source = options.source;
      command.code = options.code;
      command.param = options.param;
      const Transaction t = transact(*links[i], options.link, command);
      if (t.outcome == VARNO_E_CLOSED) break;
      run.tried_to = address;
      if (t.outcome == VARNO_REPLY && t.reply.source == address) {
        run.devices.push_back({address, t.reply, t.round_trip_ms});
        reporter.found(run, run.devices.back());
      } else if (output.verbose && t.outcome != VARNO_NO_REPLY) {
        note((options.link.ports.size() > 1 ? run.port + ": " : std::string()) + "address " +
             std::to_string(address) + ": " +
             (t.outcome == VARNO_REPLY
                  ? "a reply from " + std::to_string(t.reply.source) + ", not counted"
                  : std::string(outcomeText(t.outcome))));
      }
    }
    links[i]->close();
  });
  reporter.scanned(results, options.from, options.to);
  return kExitOk;
}

}  // namespace varno::tool
