// varno ports: the machine's serial ports, through varnoListPorts.
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {

CLI::App* addPortsCommand(CLI::App& app, PortsOptions& options) {
  CLI::App* ports = app.add_subcommand("ports", "List the machine's serial ports");
  ports->add_flag("--all", options.all,
                  "Also pseudo-terminals and legacy ports with nothing behind them");
  ports->footer(
      "One line per port: the device to open, its driver, and for a USB adapter its vendor and\n"
      "product ids, manufacturer, product and serial number; then the stable path that names\n"
      "the same port (Linux: /dev/serial/by-id/...), which --port takes as well.\n"
      "--json: an array of {\"device\", \"stable_path\", \"driver\", \"vendor_id\", "
      "\"product_id\",\n"
      "\"manufacturer\", \"product\", \"serial_number\", \"usb\", \"virtual\"} (ids as 4 hex "
      "digits,\n"
      "null when not USB). Exit 0, also when there are none.\n");
  return ports;
}

int runPorts(const PortsOptions& options, Reporter& reporter) {
  const std::uint32_t flags = options.all ? VARNO_LIST_ALL : 0;
  std::vector<VarnoPortInfo> ports;
  for (;;) {
    const std::int32_t count =
        varnoListPorts(ports.data(), static_cast<std::int32_t>(ports.size()), flags);
    if (count < 0)
      throw std::runtime_error(std::string("cannot list ports: ") + varnoErrorText(count));
    if (static_cast<std::size_t>(count) <= ports.size()) {
      ports.resize(static_cast<std::size_t>(count));
      break;
    }
    ports.resize(static_cast<std::size_t>(count));  // more came meanwhile: again, with room
  }
  reporter.portList(ports, options.all);
  return kExitOk;
}

}  // namespace varno::tool
