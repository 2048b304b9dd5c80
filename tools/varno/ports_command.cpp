// varno ports: the machine's serial ports, through varnoListPorts.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {
namespace {

using nlohmann::json;

std::string hex4(std::uint16_t id) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04x", id);
  return buffer;
}

}  // namespace

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

int runPorts(const PortsOptions& options, const OutputOptions& output) {
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
  if (output.json) {
    json all = json::array();
    for (const VarnoPortInfo& p : ports) {
      const bool usb = p.flags & VARNO_PORT_USB;
      all.push_back({{"device", p.device},
                     {"stable_path", p.stable_path[0] ? json(p.stable_path) : json(nullptr)},
                     {"driver", p.driver},
                     {"vendor_id", usb ? json(hex4(p.vendor_id)) : json(nullptr)},
                     {"product_id", usb ? json(hex4(p.product_id)) : json(nullptr)},
                     {"manufacturer", p.manufacturer},
                     {"product", p.product},
                     {"serial_number", p.serial_number},
                     {"usb", usb},
                     {"virtual", (p.flags & VARNO_PORT_VIRTUAL) != 0}});
    }
    printLine(jsonText(all, 2));
    return kExitOk;
  }
  if (ports.empty()) {
    printLine(options.all ? "no serial ports found"
                          : "no serial ports found (--all lists pseudo-terminals and legacy "
                            "ports with nothing behind them too)");
    return kExitOk;
  }
  for (const VarnoPortInfo& p : ports) {
    std::string line = p.device;
    if (p.driver[0]) line += "  " + std::string(p.driver);
    if (p.flags & VARNO_PORT_USB) {
      line += "  " + hex4(p.vendor_id) + ":" + hex4(p.product_id);
      const std::string words =
          std::string(p.manufacturer) + (p.manufacturer[0] && p.product[0] ? " " : "") + p.product;
      if (!words.empty()) line += "  " + words;
      if (p.serial_number[0]) line += "  serial " + std::string(p.serial_number);
    } else if (!(p.flags & VARNO_PORT_VIRTUAL) && p.product[0]) {
      line += "  " + std::string(p.product);
    }
    if (p.flags & VARNO_PORT_VIRTUAL) line += "  (virtual or absent)";
    printLine(line);
    if (p.stable_path[0]) printLine("    " + std::string(p.stable_path));
  }
  return kExitOk;
}

}  // namespace varno::tool
