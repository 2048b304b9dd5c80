// Parsing and printing shared by varno's commands.
#ifndef VARNO_TOOL_FORMAT_H
#define VARNO_TOOL_FORMAT_H

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace varno::tool {

// A bad argument that the parser could not catch; main prints it on one line and exits 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "9F 01 03", "9f0103", "9F:01:03" and "0x9F 0x01" all give the same bytes.
std::vector<std::uint8_t> parseHexBytes(const std::string& text);
std::string hexText(const std::uint8_t* bytes, std::size_t size);

// The data word, from one of: its four bytes in hex, an unsigned number, or a decimal value with
// a count of places.
struct DataOptions {
  std::vector<std::string> word;
  std::optional<std::uint32_t> uint_value;
  std::optional<float> decimal_value;
  std::uint8_t decimals = 0;
};
void addDataOptions(CLI::App& app, DataOptions& options, bool word_positional);
void buildDataWord(const DataOptions& options, std::uint8_t* word);

struct RecordOptions {
  std::uint8_t dest = 1;
  std::uint8_t source = 31;
  std::uint8_t code = 0;
  std::uint8_t param = 0;
  std::uint8_t status = 0;
  std::uint8_t error = 0;
  DataOptions data;
};
// Everything a command carries: addresses, code, param and the data word (status and error are
// always 0 in a command, so they are left out).
void addCommandOptions(CLI::App& app, RecordOptions& options);
// ...and status and error as well, for showing any frame.
void addRecordOptions(CLI::App& app, RecordOptions& options);
CommandRecord buildRecord(const RecordOptions& options);

const char* faultText(FrameFault fault);
std::string recordText(const CommandRecord& record);
nlohmann::json recordJson(const CommandRecord& record);
std::string dataText(const std::uint8_t* word);
nlohmann::json dataJson(const std::uint8_t* word);

}  // namespace varno::tool

#endif  // VARNO_TOOL_FORMAT_H
