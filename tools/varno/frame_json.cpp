#include "frame_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace varno::tool {

using nlohmann::json;

std::string hexText(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

json recordJson(const VarnoFrame& r) {
  return {{"dest", r.dest & 0x7F},   {"source", r.source}, {"code", r.code},
          {"param", r.param},        {"status", r.status}, {"error", r.error},
          {"data", dataJson(r.data)}};
}

std::string decimalText(const std::uint8_t* word) {
  // A float has no digits beyond its 45th place; past the 38th the value reads as zero anyway.
  const int places = word[3] > 45 ? 45 : word[3];
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%.*f", places, static_cast<double>(varnoDataToFloat(word)));
  return buffer;
}

json decimalJson(const std::uint8_t* word) {
  // The shortest double that reads back as the text: -12.345, not -12.345000267028809.
  return std::strtod(decimalText(word).c_str(), nullptr);
}

json dataJson(const std::uint8_t* word) {
  return {{"bytes", hexText(word, kDataSize)},
          {"uint", varnoDataToUInt(word)},
          {"decimal", decimalJson(word)},
          {"decimals", word[3]}};
}

const char* outcomeText(std::int32_t outcome) {
  switch (outcome) {
    case VARNO_REPLY:
      return "reply";
    case VARNO_WRITE_TIMEOUT:
      return "write timed out";
    case VARNO_WRITE_FAILED:
      return "write failed";
    case VARNO_NO_REPLY:
      return "no reply";
    case VARNO_READ_FAILED:
      return "read failed";
    case VARNO_INVALID_REPLY:
      return "invalid reply";
    case VARNO_E_QUEUE_TIMEOUT:
      return "queue timed out";
  }
  return "unknown outcome";
}

double roundedMs(double ms) {
  return std::round(ms * 1000.0) / 1000.0;
}

json transactionJson(std::int32_t outcome, const VarnoFrame& reply, double round_trip_ms) {
  return {{"outcome", outcome},
          {"outcome_text", outcomeText(outcome)},
          {"reply", outcome == VARNO_REPLY ? recordJson(reply) : json(nullptr)},
          {"round_trip_ms", roundedMs(round_trip_ms)}};
}

}  // namespace varno::tool
