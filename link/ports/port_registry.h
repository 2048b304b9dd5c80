// Which port a name asks for, by its scheme: "tcp://..." and "rfc2217://..." a line behind a TCP
// server, a name without one the platform's serial port. The link's carrier chooser
// (core/port_carrier.cpp) asks here too, for the schemes that are not ports at all ("varno://").
#ifndef VARNO_PORTS_PORT_REGISTRY_H
#define VARNO_PORTS_PORT_REGISTRY_H

#include <memory>
#include <string>
#include <string_view>

#include "ports/serial_port.h"

namespace varno {

// The platform's serial port (serial_port_linux.cpp, serial_port_win32.cpp).
std::unique_ptr<SerialPort> makeSystemSerialPort();

// The scheme of `name` in lower case ("tcp" for "TCP://host:1"), or "" for a name without one (a
// device: "COM3", "/dev/ttyUSB0", "\\.\COM12").
std::string portScheme(std::string_view name);

// The port `name` asks for: the one registered for its scheme, otherwise the platform's.
std::unique_ptr<SerialPort> makePortFor(const std::string& name);

// `settings` as the port `name` asks for takes them: a network name's read ends after its own
// inter-byte silence (inter_byte_timeout, 50 ms unless given), a local line's after
// kInterByteTimeoutMs.
PortSettings portSettingsFor(const std::string& name, PortSettings settings);

}  // namespace varno

#endif  // VARNO_PORTS_PORT_REGISTRY_H
