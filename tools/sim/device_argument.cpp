#include "device_argument.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

namespace varno::sim {
namespace {

constexpr std::uint64_t kMaxMilliseconds = 3'600'000;  // an hour: anything longer is a typo
constexpr std::uint64_t kMaxBytes = 4096;

constexpr std::string_view kFlags[] = {"silent", "badcrc", "store"};
constexpr std::string_view kValued[] = {"late",  "short", "split", "gap",    "status",
                                        "error", "data",  "to",    "hangup", "raw"};

template <std::size_t N>
bool contains(const std::string_view (&names)[N], std::string_view name) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

[[noreturn]] void reject(std::string_view text, const std::string& why) {
  throw std::invalid_argument("device '" + std::string(text) + "': " + why);
}

// Decimal, or hexadecimal after 0x; nothing else (no sign, no spaces, no trailing characters).
std::uint64_t parseNumber(std::string_view argument, std::string_view name, std::string_view value,
                          std::uint64_t max) {
  int base = 10;
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    base = 16;
    value.remove_prefix(2);
  }
  std::uint64_t number = 0;
  const auto [end, error] =
      std::from_chars(value.data(), value.data() + value.size(), number, base);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
    reject(argument,
           std::string(name) + " needs an unsigned number, not '" + std::string(value) + "'");
  }
  if (number > max) reject(argument, std::string(name) + " must be at most " + std::to_string(max));
  return number;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::uint8_t> parseHexBytes(std::string_view argument, std::string_view value) {
  if (value.empty() || value.size() % 2 != 0 || value.size() / 2 > kMaxBytes) {
    reject(argument, "raw needs whole bytes as pairs of hex digits, e.g. raw=8102");
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < value.size(); i += 2) {
    const int high = hexDigit(value[i]);
    const int low = hexDigit(value[i + 1]);
    if (high < 0 || low < 0) reject(argument, "raw holds a character that is not a hex digit");
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::vector<std::size_t> parsePieces(std::string_view argument, std::string_view value) {
  std::vector<std::size_t> pieces;
  for (;;) {
    const std::size_t plus = value.find('+');
    const std::uint64_t size = parseNumber(argument, "split", value.substr(0, plus), kMaxBytes);
    if (size == 0) reject(argument, "split pieces must hold at least one byte");
    pieces.push_back(static_cast<std::size_t>(size));
    if (plus == std::string_view::npos) return pieces;
    value.remove_prefix(plus + 1);
  }
}

}  // namespace

DeviceArgument parseDeviceArgument(std::string_view text) {
  DeviceArgument argument;
  const std::size_t colon = text.find(':');
  argument.address =
      static_cast<std::uint8_t>(parseNumber(text, "address", text.substr(0, colon), 127));
  if (colon == std::string_view::npos) return argument;

  std::string_view rest = text.substr(colon + 1);
  if (rest.empty()) reject(text, "no options after ':'");
  std::set<std::string, std::less<>> seen;
  DeviceBehaviour& b = argument.behaviour;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view option = rest.substr(0, comma);
    const std::size_t equals = option.find('=');
    const std::string_view name = option.substr(0, equals);
    const bool has_value = equals != std::string_view::npos;
    const std::string_view value = has_value ? option.substr(equals + 1) : std::string_view();

    if (name.empty()) reject(text, "empty option");
    if (!seen.emplace(name).second) reject(text, "option '" + std::string(name) + "' given twice");
    const bool is_flag = contains(kFlags, name);
    if (!is_flag && !contains(kValued, name)) {
      reject(text, "unknown option '" + std::string(name) + "'");
    }
    if (is_flag && has_value) reject(text, std::string(name) + " takes no value");
    if (!is_flag && !has_value) reject(text, std::string(name) + " needs a value");

    if (name == "silent") {
      b.silent = true;
    } else if (name == "store") {
      b.store = true;
    } else if (name == "badcrc") {
      b.corrupt_crc = true;
    } else if (name == "late") {
      b.delay_ms = static_cast<std::uint32_t>(parseNumber(text, name, value, kMaxMilliseconds));
    } else if (name == "short") {
      b.truncate_to = static_cast<std::size_t>(parseNumber(text, name, value, varno::kFrameSize));
    } else if (name == "split") {
      b.pieces = parsePieces(text, value);
    } else if (name == "gap") {
      b.gap_ms = static_cast<std::uint32_t>(parseNumber(text, name, value, kMaxMilliseconds));
    } else if (name == "status") {
      b.status = static_cast<std::uint8_t>(parseNumber(text, name, value, 0xFF));
    } else if (name == "error") {
      b.error = static_cast<std::uint8_t>(parseNumber(text, name, value, 0xFF));
    } else if (name == "data") {
      const auto word = static_cast<std::uint32_t>(parseNumber(text, name, value, 0xFFFFFFFF));
      b.data = std::array<std::uint8_t, 4>{
          static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
          static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    } else if (name == "to") {
      b.reply_dest = static_cast<std::uint8_t>(parseNumber(text, name, value, 127));
    } else if (name == "hangup") {
      b.hang_up_after = static_cast<std::size_t>(parseNumber(text, name, value, kMaxBytes));
    } else if (name == "raw") {
      b.raw_reply = parseHexBytes(text, value);
    }

    if (comma == std::string_view::npos) return argument;
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace varno::sim
