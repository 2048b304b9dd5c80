#include "request_json.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame_json.h"

namespace varno::gw {
namespace {

using nlohmann::json;

constexpr std::int64_t kMaxMs = std::numeric_limits<std::int32_t>::max();
constexpr double kMaxMantissa = 8388607;  // a decimal's 24-bit two's complement

// Empty when `key` is absent or an integer in min..max (stored in `out`), else the fault.
template <typename T>
std::string integer(const json& body, const char* key, T& out, std::int64_t min, std::int64_t max,
                    bool required) {
  const auto found = body.find(key);
  if (found == body.end()) return required ? std::string("\"") + key + "\" is missing" : "";
  if (!found->is_number_integer()) return std::string("\"") + key + "\" must be an integer";
  // Unsigned first: a value past INT64_MAX must not wrap to a small one.
  const bool too_big =
      found->is_number_unsigned() && found->get<std::uint64_t>() > static_cast<std::uint64_t>(max);
  const std::int64_t value = too_big ? max : found->get<std::int64_t>();
  if (too_big || value < min || value > max) {
    return std::string("\"") + key + "\" must be " + std::to_string(min) + ".." +
           std::to_string(max) + ", not " + found->dump();
  }
  out = static_cast<T>(value);
  return "";
}

// Four bytes in hex: "D7 00 00 01", "D7,00,00,01", "D7:00:00:01" or "D7000001".
bool hexWord(const std::string& text, std::uint8_t* word) {
  std::string digits;
  std::size_t in_token = 0;
  bool separated = false;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
      ++in_token;
    } else if (c == ' ' || c == ',' || c == ':') {
      if (in_token == 1) digits.insert(digits.end() - 1, '0');  // "7" is 07
      if (in_token > 2) return false;
      separated = separated || in_token > 0;
      in_token = 0;
    } else {
      return false;
    }
  }
  if (separated && in_token == 1) digits.insert(digits.end() - 1, '0');
  if (separated && in_token > 2) return false;
  if (digits.size() != 2 * varno::tool::kDataSize) return false;
  for (std::size_t i = 0; i < varno::tool::kDataSize; ++i) {
    word[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

std::string dataWord(const json& body, std::uint8_t* word) {
  const int given = static_cast<int>(body.contains("data")) +
                    static_cast<int>(body.contains("uint")) +
                    static_cast<int>(body.contains("value"));
  if (given > 1) return "give at most one of \"data\", \"uint\" and \"value\"";
  if (body.contains("decimals") && !body.contains("value")) {
    return "\"decimals\" goes with \"value\" only";
  }
  std::fill(word, word + varno::tool::kDataSize, 0);
  if (const auto data = body.find("data"); data != body.end()) {
    if (!data->is_string() || !hexWord(data->get<std::string>(), word)) {
      return "\"data\" must be four bytes in hex, as \"D7 00 00 01\"";
    }
  } else if (body.contains("uint")) {
    std::uint32_t value = 0;
    if (auto fault = integer(body, "uint", value, 0, 0xFFFFFFFF, true); !fault.empty()) {
      return fault;
    }
    varnoUIntToData(value, word);
  } else if (const auto value = body.find("value"); value != body.end()) {
    std::uint8_t decimals = 0;
    if (auto fault = integer(body, "decimals", decimals, 0, 3, false); !fault.empty()) {
      return fault;
    }
    if (!value->is_number()) return "\"value\" must be a number";
    const double scaled = std::round(value->get<double>() * std::pow(10.0, decimals));
    if (!(std::fabs(scaled) <= kMaxMantissa)) {
      return "\"value\" " + value->dump() + " does not fit a data word with " +
             std::to_string(decimals) + " decimal(s)";
    }
    varnoFloatToData(value->get<float>(), decimals, word);
  }
  return "";
}

}  // namespace

std::string parseRequestJson(const json& body, Request& request,
                             const std::vector<std::string>& extra_keys) {
  static const char* const kKeys[] = {
      "dest", "code",  "param",    "source",           "data",
      "uint", "value", "decimals", "write_timeout_ms", "reply_timeout_ms"};
  if (!body.is_object()) return "the request must be a JSON object";
  for (const auto& item : body.items()) {
    const std::string& key = item.key();
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys) &&
        std::find(extra_keys.begin(), extra_keys.end(), key) == extra_keys.end()) {
      return "unknown key \"" + key + "\"";
    }
  }
  VarnoFrame& command = request.command;
  command = VarnoFrame{};
  command.source = 31;
  for (std::string fault :
       {integer(body, "dest", command.dest, 0, 127, true),
        integer(body, "code", command.code, 0, 127, true),
        integer(body, "param", command.param, 0, 255, false),
        integer(body, "source", command.source, 0, 127, false),
        integer(body, "write_timeout_ms", request.write_timeout_ms, 1, kMaxMs, false),
        integer(body, "reply_timeout_ms", request.reply_timeout_ms, 1, kMaxMs, false),
        dataWord(body, command.data)}) {
    if (!fault.empty()) return fault;
  }
  return "";
}

std::string parseRequestText(std::string_view text, Request& request,
                             const std::vector<std::string>& extra_keys) {
  const json body = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded()) return "the request is not valid JSON";
  return parseRequestJson(body, request, extra_keys);
}

json answerJson(const Completion& completion, double round_trip_ms) {
  json answer = varno::tool::transactionJson(completion.outcome, completion.frame, round_trip_ms);
  if (completion.outcome < 0) answer["outcome_text"] = varnoErrorText(completion.outcome);
  return answer;
}

json errorJson(const std::string& text) {
  return {{"error", text}};
}

}  // namespace varno::gw
