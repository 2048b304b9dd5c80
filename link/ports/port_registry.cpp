#include "ports/port_registry.h"

#include "network/network_port.h"

namespace varno {
namespace {

std::uint32_t networkInterByteMs(const std::string& name) {
  NetworkPortName parsed;
  // A name that does not parse keeps the default; the port's open refuses it.
  return parseNetworkPortName(name, parsed) ? parsed.inter_byte_timeout_ms
                                            : NetworkPortName{}.inter_byte_timeout_ms;
}

struct Maker {
  std::string_view scheme;
  std::unique_ptr<SerialPort> (*make)();
  std::uint32_t (*inter_byte_ms)(const std::string& name);
};

constexpr Maker kMakers[] = {
    {"tcp", makeNetworkPort, networkInterByteMs},
    {"rfc2217", makeNetworkPort, networkInterByteMs},
};

const Maker* makerFor(const std::string& name) {
  const std::string scheme = portScheme(name);
  for (const Maker& maker : kMakers) {
    if (maker.scheme == scheme) return &maker;
  }
  return nullptr;
}

bool isSchemeCharacter(char c, bool first) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

}  // namespace

std::string portScheme(std::string_view name) {
  const std::size_t end = name.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  std::string scheme;
  for (std::size_t i = 0; i < end; ++i) {
    const char c = name[i];
    if (!isSchemeCharacter(c, i == 0)) return {};
    scheme += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return scheme;
}

std::unique_ptr<SerialPort> makePortFor(const std::string& name) {
  const Maker* maker = makerFor(name);
  return maker != nullptr ? maker->make() : makeSystemSerialPort();
}

PortSettings portSettingsFor(const std::string& name, PortSettings settings) {
  const Maker* maker = makerFor(name);
  settings.inter_byte_ms = maker != nullptr ? maker->inter_byte_ms(name) : kInterByteTimeoutMs;
  return settings;
}

}  // namespace varno
