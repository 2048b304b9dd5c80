// Reaching a TCP server by a name within a time limit: the lookup (one that hangs is left behind
// at the deadline), the connect, and the socket waits both need, all ended by an abort flag. The
// network port and the gateway's carrier share them.
#ifndef VARNO_NETWORK_HOST_LOOKUP_H
#define VARNO_NETWORK_HOST_LOOKUP_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ports/serial_port.h"

namespace varno {

class Socket;
struct SocketAddress;

// Waits on `socket` for `want` (kSocket*) until `deadline` (none: no limit). What was found, or
// 0 when aborted or out of time. A deadline that has passed still gets one look.
unsigned waitForSocket(Socket& socket, unsigned want,
                       std::optional<std::chrono::steady_clock::time_point> deadline,
                       const std::atomic<bool>& aborted);
// Connects `socket` to `address` before `deadline`; false when refused, out of time or aborted.
bool connectTo(Socket& socket, const SocketAddress& address,
               std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& aborted);
// Looks `host` up (a lookup that hangs is left behind at the deadline) and connects `socket` to
// its addresses in turn, all before `deadline`. kNone when connected (the address in
// `*connected`, where given); kNotFound (no such host, refused, unreachable, out of time,
// aborted) or kResources.
PortError connectWithin(Socket& socket, const std::string& host, std::uint16_t port,
                        std::chrono::steady_clock::time_point deadline,
                        const std::atomic<bool>& aborted, SocketAddress* connected = nullptr);

}  // namespace varno

#endif  // VARNO_NETWORK_HOST_LOOKUP_H
