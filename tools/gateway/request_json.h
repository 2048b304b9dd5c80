// A transaction asked for in JSON, for the gateway's clients that speak no binary protocol (MQTT,
// the web page), and its answer in the words `varno --json send` prints.
//
// The request: {"dest": 5, "code": 3, "param": 0, "source": 31, and at most one data word of
// "data": "D7 00 00 01" (four bytes in hex), "uint": 7, or "value": 21.5 with "decimals": 1;
// and "write_timeout_ms", "reply_timeout_ms" (the bus's own when absent)}. Every other key is a
// fault, except those the caller's transport reads itself (extra_keys).
#ifndef VARNO_GATEWAY_REQUEST_JSON_H
#define VARNO_GATEWAY_REQUEST_JSON_H

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "bus.h"

namespace varno::gw {

// Fills `request` (its command and time-outs; tag and queued_at are the caller's). Empty when the
// request is sound, else what is wrong with it, naming the key: the request must then not reach
// the bus.
std::string parseRequestJson(const nlohmann::json& body, Request& request,
                             const std::vector<std::string>& extra_keys = {});
// The same from text; a text that is no JSON object is a fault too.
std::string parseRequestText(std::string_view text, Request& request,
                             const std::vector<std::string>& extra_keys = {});

// {"outcome", "outcome_text", "reply", "round_trip_ms"}, as varno prints a transaction. A request
// the bus could not take in time has a negative outcome (VARNO_E_QUEUE_TIMEOUT, or the link's
// fault when the port is closed) with the library's text for it.
nlohmann::json answerJson(const Completion& completion, double round_trip_ms);
// {"error": text}: the request was refused and never reached a bus.
nlohmann::json errorJson(const std::string& text);

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_REQUEST_JSON_H
