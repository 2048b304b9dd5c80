// The gateway protocol's listener (protocol/gateway_protocol.h): a client says HELLO for a bus,
// then sends TRANSACTs, each answered by one RESULT with its id, in the order sent.
#ifndef VARNO_GATEWAY_GATEWAY_LISTENER_H
#define VARNO_GATEWAY_GATEWAY_LISTENER_H

#include <map>
#include <memory>
#include <string>

#include "bus.h"
#include "connection.h"

namespace varno::gw {

// Buses by name.
using BusMap = std::map<std::string, Bus*>;

std::unique_ptr<Listener> makeGatewayListener(EventLoop& loop, const AllowList& allow,
                                              std::uint32_t limit, const BusMap& buses);

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_GATEWAY_LISTENER_H
