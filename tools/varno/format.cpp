#include "format.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace varno::tool {
namespace {

bool isSeparator(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':';
}

bool allHexDigits(const std::string& text) {
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return !text.empty();
}

std::uint8_t hexByte(const std::string& digits) {
  return static_cast<std::uint8_t>(std::strtoul(digits.c_str(), nullptr, 16));
}

}  // namespace

std::vector<std::uint8_t> parseHexBytes(const std::vector<std::string>& parts) {
  std::vector<std::string> tokens;
  for (const std::string& part : parts) {
    std::string token;
    for (const char c : part + ' ') {
      if (!isSeparator(c)) {
        token += c;
      } else if (!token.empty()) {
        tokens.push_back(token);
        token.clear();
      }
    }
  }
  std::vector<std::uint8_t> bytes;
  for (const std::string& token : tokens) {
    const bool prefixed =
        token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    const std::string digits = prefixed ? token.substr(2) : token;
    if (!allHexDigits(digits)) throw UsageError("not a hex byte: '" + token + "'");
    if (digits.size() <= 2) {
      bytes.push_back(hexByte(digits));
      continue;
    }
    // A run of digits: the whole of the input, never one of several tokens, never after 0x (which
    // would read as one number, most significant byte first).
    if (prefixed || tokens.size() != 1) {
      throw UsageError("'" + token +
                       "' is not one byte: give one byte per token (\"39 30\", \"0x39 0x30\") or "
                       "all bytes as one run of hex digits (\"3930\")");
    }
    if (digits.size() % 2 != 0) throw UsageError("odd number of hex digits in '" + token + "'");
    for (std::size_t i = 0; i < digits.size(); i += 2)
      bytes.push_back(hexByte(digits.substr(i, 2)));
  }
  return bytes;
}

void addDataOptions(CLI::App& app, DataOptions& options, bool word_positional) {
  const char* word_help = "The data word's four bytes in hex (\"39 30 00 02\" or \"39300002\")";
  CLI::Option* word = word_positional
                          ? app.add_option("word", options.word, word_help)->expected(0, -1)
                          : app.add_option("--word", options.word, word_help)->expected(1, -1);
  auto* uint_value =
      app.add_option("--uint", options.uint_value, "The data word as an unsigned number");
  auto* decimal = app.add_option("--value", options.decimal_value,
                                 "The data word as a decimal (with --decimals places)");
  app.add_option("--decimals", options.decimals, "Decimal places for --value (0 to 3)")
      ->check(CLI::Range(0, 255));
  word->excludes(uint_value)->excludes(decimal);
  uint_value->excludes(decimal);
}

void buildDataWord(const DataOptions& options, std::uint8_t* word) {
  if (!options.word.empty()) {
    const auto bytes = parseHexBytes(options.word);
    if (bytes.size() != kDataSize) {
      throw UsageError("a data word is 4 bytes, got " + std::to_string(bytes.size()));
    }
    for (std::size_t i = 0; i < kDataSize; ++i) word[i] = bytes[i];
  } else if (options.uint_value) {
    varnoUIntToData(*options.uint_value, word);
  } else if (options.decimal_value) {
    if (options.decimals > 3) throw UsageError("--decimals takes 0 to 3 places");
    varnoFloatToData(*options.decimal_value, options.decimals, word);
  } else {
    for (std::size_t i = 0; i < kDataSize; ++i) word[i] = 0;
  }
}

void addCommandOptions(CLI::App& app, RecordOptions& options) {
  const auto address = CLI::Range(0, 127);
  app.add_option("-d,--dest", options.dest, "Destination address (0 to 127)")
      ->default_str(std::to_string(options.dest))
      ->check(address);
  app.add_option("-s,--source", options.source, "Source (this host's) address (0 to 127)")
      ->default_str(std::to_string(options.source))
      ->check(address);
  app.add_option("-c,--code", options.code, "Command code (0 to 127)")
      ->default_str(std::to_string(options.code))
      ->check(address);
  app.add_option("-p,--param", options.param, "Parameter (0 to 255)")
      ->default_str(std::to_string(options.param));
  addDataOptions(app, options.data, /*word_positional=*/false);
}

void addRecordOptions(CLI::App& app, RecordOptions& options) {
  addCommandOptions(app, options);
  app.add_option("--status", options.status, "Status (0 to 255)")
      ->default_str(std::to_string(options.status));
  app.add_option("--error", options.error, "Error (0 to 255)")
      ->default_str(std::to_string(options.error));
}

VarnoFrame buildFrame(const RecordOptions& options) {
  VarnoFrame frame{};
  frame.dest = options.dest;
  frame.source = options.source;
  frame.code = options.code;
  frame.param = options.param;
  frame.status = options.status;
  frame.error = options.error;
  buildDataWord(options.data, frame.data);
  return frame;
}

std::string jsonText(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char* frameFaultText(std::int32_t code) {
  switch (code) {
    case VARNO_OK:
      return "valid";
    case VARNO_E_FRAME_START_MARK:
      return "byte 0 lacks the start mark (bit 7)";
    case VARNO_E_FRAME_HIGH_BIT:
      return "bit 7 set in one of bytes 1 to 10";
    case VARNO_E_FRAME_CRC:
      return "CRC mismatch";
  }
  return varnoErrorText(code);
}

std::string recordText(const VarnoFrame& r) {
  std::ostringstream out;
  out << "dest    " << (r.dest & 0x7F) << "\n"
      << "source  " << int(r.source) << "\n"
      << "code    " << int(r.code) << "\n"
      << "param   " << int(r.param) << "\n"
      << "status  " << int(r.status) << "\n"
      << "error   " << int(r.error) << "\n"
      << dataText(r.data);
  return out.str();
}

std::string dataText(const std::uint8_t* word) {
  std::ostringstream out;
  out << "data    " << hexText(word, kDataSize) << "  (unsigned " << varnoDataToUInt(word)
      << ", decimal " << decimalText(word) << ")\n";
  return out.str();
}

std::string replyLine(const VarnoFrame& r) {
  std::ostringstream out;
  out << "source " << int(r.source) << "  code " << int(r.code) << "  param " << int(r.param)
      << "  status " << int(r.status) << "  error " << int(r.error) << "  data "
      << hexText(r.data, kDataSize) << " (unsigned " << varnoDataToUInt(r.data) << ", decimal "
      << decimalText(r.data) << ")";
  return out.str();
}

std::string hex4(std::uint16_t id) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04x", id);
  return buffer;
}

std::string msText(double ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f ms", ms);
  return buffer;
}

std::string rfc3339(std::chrono::system_clock::time_point at) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[64];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buffer + n, sizeof buffer - n, ".%06lldZ",
                static_cast<long long>(micros % 1000000));
  return buffer;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void note(const std::string& text) {
  std::fprintf(stderr, "varno: %s\n", text.c_str());
}

}  // namespace varno::tool
