// A transaction and its frames as JSON, as `varno --json` prints them. Apart from varno's other
// code so that the gateway answers in the same words without taking in the command line's
// parts: it needs only the library's conversions, which its host links (the shared library for
// varno, the link's objects for the gateway).
#ifndef VARNO_TOOL_FRAME_JSON_H
#define VARNO_TOOL_FRAME_JSON_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#include "VarnoDLL.h"  // the conversions; it includes varno_link.h

namespace varno::tool {

inline constexpr std::size_t kFrameSize = 12;
inline constexpr std::size_t kDataSize = 4;

std::string hexText(const std::uint8_t* bytes, std::size_t size);

// The data word read as a decimal, with as many places as the word itself says ("-12.345" for
// a mantissa of -12345 with 3 places): never the noise of a float shown in double precision.
std::string decimalText(const std::uint8_t* word);
nlohmann::json decimalJson(const std::uint8_t* word);
nlohmann::json dataJson(const std::uint8_t* word);
nlohmann::json recordJson(const VarnoFrame& frame);

// A transaction's outcome (0..5) in a few words ("no reply").
const char* outcomeText(std::int32_t outcome);
// Microseconds are as fine as a serial line's timing gets.
double roundedMs(double ms);
// {"outcome", "outcome_text", "reply" (null unless the outcome is a reply), "round_trip_ms"}.
nlohmann::json transactionJson(std::int32_t outcome, const VarnoFrame& reply, double round_trip_ms);

}  // namespace varno::tool

#endif  // VARNO_TOOL_FRAME_JSON_H
