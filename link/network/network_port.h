// Serial lines reached over TCP: "tcp://HOST:PORT" (raw bytes; the server fixes the line
// settings) and "rfc2217://HOST:PORT" (telnet with COM-PORT-OPTION; the open sets the line). The
// port is one more implementation of SerialPort, so the connection and the transactions never
// learn what carries their bytes; the registry (ports/port_registry.cpp) makes it for these two
// schemes. Its names are network_name.h's; a gateway's bus, "varno://HOST:PORT/BUS", is named the
// same way and reached by remote/gateway_carrier.cpp.
//
// What differs from a local line: the read's inter-byte silence, which the registry takes from the
// name's inter_byte_timeout (50 ms unless given: packets bunch a line's bytes together); the open's
// steps are kCreateEvents (the abort event), kOpenDevice (the name, the lookup and the connect)
// and kApplyLineSettings (a rate of 0, or rfc2217's negotiation and line setting refused).
#ifndef VARNO_NETWORK_NETWORK_PORT_H
#define VARNO_NETWORK_NETWORK_PORT_H

#include <memory>

#include "network/network_name.h"
#include "ports/serial_port.h"

namespace varno {

std::unique_ptr<SerialPort> makeNetworkPort();

}  // namespace varno

#endif  // VARNO_NETWORK_NETWORK_PORT_H
