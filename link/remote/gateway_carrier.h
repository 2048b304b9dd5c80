// A link to a bus that a gateway (varno-gateway) owns: "varno://HOST:PORT/BUS". The gateway
// runs each transaction on its bus and answers with the outcome; this side carries whole
// transactions (command, time-outs, outcome) over the gateway protocol
// (protocol/gateway_protocol.h), not bytes.
#ifndef VARNO_REMOTE_GATEWAY_CARRIER_H
#define VARNO_REMOTE_GATEWAY_CARRIER_H

#include <cstdint>
#include <memory>
#include <string>

#include "core/carrier.h"

namespace varno {

// Beyond the transaction's own time-outs and the gateway's queue time-out, the time a client
// allows for the frames on the wire and the network before it takes the gateway for gone.
inline constexpr std::uint32_t kGatewayMarginMs = 2000;

std::unique_ptr<Carrier> makeGatewayCarrier();

// The HELLO's client name: `description` with what a gateway would refuse replaced, cut to fit.
std::string gatewayClientName(const std::string& description);

}  // namespace varno

#endif  // VARNO_REMOTE_GATEWAY_CARRIER_H
