// Parsing and printing shared by varno's commands. Frames and data words go through the library's
// public interface only (VarnoFrame, varnoFrameEncode/Decode and the conversions).
#ifndef VARNO_TOOL_FORMAT_H
#define VARNO_TOOL_FORMAT_H

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "VarnoDLL.h"  // the conversions; it includes varno_link.h
#include "frame_json.h"

namespace varno::tool {

// A bad argument that the parser could not catch; main prints it on one line and exits 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Bytes in hex, given as arguments: either one byte per token ("9F 01 03", "0x9F,0x01",
// "9F:01:03"; a token is one or two hex digits, optionally after 0x) or a single run of hex
// digits without separators ("9F0103"). Tokens are separated by white space, ',' or ':' (within
// an argument, or as separate arguments). Anything else throws UsageError.
std::vector<std::uint8_t> parseHexBytes(const std::vector<std::string>& parts);

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
VarnoFrame buildFrame(const RecordOptions& options);

// JSON text for output (indent -1: one line). A string from outside need not be UTF-8 (a port's
// path, a process's name): every byte that is not becomes U+FFFD, where nlohmann would throw.
std::string jsonText(const nlohmann::json& value, int indent = -1);

// What varnoFrameDecode's fault code means, in a few words ("CRC mismatch").
const char* frameFaultText(std::int32_t code);
std::string recordText(const VarnoFrame& frame);
std::string dataText(const std::uint8_t* word);
// A reply's fields on one line ("source 5  code 0  param 0  status 0 ...").
std::string replyLine(const VarnoFrame& reply);
// "0403": a USB vendor's or product's id.
std::string hex4(std::uint16_t id);
// "1.234 ms".
std::string msText(double ms);
// "2026-12-08T05:29:04.123456Z": `at` in RFC 3339, UTC, to the microsecond.
std::string rfc3339(std::chrono::system_clock::time_point at);
// One CSV field, quoted where it must be.
std::string csvField(const std::string& text);

// A note on stderr: "varno: TEXT".
void note(const std::string& text);

}  // namespace varno::tool

#endif  // VARNO_TOOL_FORMAT_H
