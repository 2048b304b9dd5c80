#include "format.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "VarnoDLL.h"

namespace varno::tool {

std::vector<std::uint8_t> parseHexBytes(const std::string& text) {
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      ++i;
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (!std::isspace(static_cast<unsigned char>(c)) && c != ':' && c != ',' && c != '-') {
      throw UsageError(std::string("not a hex digit: '") + c + "'");
    }
  }
  if (digits.size() % 2 != 0) throw UsageError("odd number of hex digits");
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string hexText(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

void addDataOptions(CLI::App& app, DataOptions& options, bool word_positional) {
  const char* word_help = "The data word's four bytes in hex (\"39 30 00 02\")";
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
    std::string joined;
    for (const auto& part : options.word) joined += part + " ";
    const auto bytes = parseHexBytes(joined);
    if (bytes.size() != 4) {
      throw UsageError("a data word is 4 bytes, got " + std::to_string(bytes.size()));
    }
    for (int i = 0; i < 4; ++i) word[i] = bytes[i];
  } else if (options.uint_value) {
    varnoUIntToData(*options.uint_value, word);
  } else if (options.decimal_value) {
    if (options.decimals > 3) throw UsageError("--decimals takes 0 to 3 places");
    varnoFloatToData(*options.decimal_value, options.decimals, word);
  } else {
    for (int i = 0; i < 4; ++i) word[i] = 0;
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

CommandRecord buildRecord(const RecordOptions& options) {
  CommandRecord record;
  record.dest = options.dest;
  record.source = options.source;
  record.code = options.code;
  record.param = options.param;
  record.status = options.status;
  record.error = options.error;
  buildDataWord(options.data, record.data_arr);
  return record;
}

const char* faultText(FrameFault fault) {
  switch (fault) {
    case FrameFault::kNone:
      return "valid";
    case FrameFault::kNoStartMark:
      return "byte 0 lacks the start mark (bit 7)";
    case FrameFault::kHighBitInBody:
      return "bit 7 set in one of bytes 1 to 10";
    case FrameFault::kBadCrc:
      return "CRC mismatch";
  }
  return "?";
}

std::string recordText(const CommandRecord& r) {
  std::ostringstream out;
  out << "dest    " << (r.dest & 0x7F) << "\n"
      << "source  " << int(r.source) << "\n"
      << "code    " << int(r.code) << "\n"
      << "param   " << int(r.param) << "\n"
      << "status  " << int(r.status) << "\n"
      << "error   " << int(r.error) << "\n"
      << dataText(r.data_arr);
  return out.str();
}

nlohmann::json recordJson(const CommandRecord& r) {
  return {{"dest", r.dest & 0x7F},
          {"source", r.source},
          {"code", r.code},
          {"param", r.param},
          {"status", r.status},
          {"error", r.error},
          {"data", dataJson(r.data_arr)}};
}

std::string dataText(const std::uint8_t* word) {
  std::ostringstream out;
  out << "data    " << hexText(word, 4) << "  (unsigned " << varnoDataToUInt(word) << ", decimal "
      << varnoDataToFloat(word) << ")\n";
  return out.str();
}

nlohmann::json dataJson(const std::uint8_t* word) {
  return {{"bytes", hexText(word, 4)},
          {"uint", varnoDataToUInt(word)},
          {"decimal", varnoDataToFloat(word)},
          {"decimals", word[3]}};
}

}  // namespace varno::tool
