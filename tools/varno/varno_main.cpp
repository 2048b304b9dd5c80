// varno: everyday command-line use of the link.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "VarnoDLL.h"
#include "format.h"
#include "protocol/frame.h"

namespace {

using nlohmann::json;
using varno::tool::UsageError;

int runDecode(const std::vector<std::string>& parts, bool as_json) {
  std::string joined;
  for (const auto& part : parts) joined += part + " ";
  const std::vector<std::uint8_t> bytes = varno::tool::parseHexBytes(joined);
  if (bytes.size() != varno::kFrameSize) {
    throw UsageError("a frame is 12 bytes, got " + std::to_string(bytes.size()));
  }
  const varno::FrameFault fault = varno::checkFrame(bytes.data());
  varno::CommandRecord record;
  const bool valid = varno::decodeFrame(bytes.data(), record);
  if (as_json) {
    json out = {{"valid", valid}};
    if (valid) {
      out["record"] = varno::tool::recordJson(record);
    } else {
      out["fault"] = varno::tool::faultText(fault);
    }
    std::cout << out.dump(2) << "\n";
  } else if (valid) {
    std::cout << varno::tool::recordText(record);
  } else {
    std::cout << "not a frame: " << varno::tool::faultText(fault) << "\n";
  }
  return valid ? 0 : 1;
}

int runEncode(const varno::tool::RecordOptions& options, bool as_json) {
  const varno::CommandRecord record = varno::tool::buildRecord(options);
  varno::Frame frame;
  varno::encodeFrame(record, frame.data());
  if (as_json) {
    std::cout << json{{"frame", varno::tool::hexText(frame.data(), frame.size())}}.dump(2) << "\n";
  } else {
    std::cout << varno::tool::hexText(frame.data(), frame.size()) << "\n";
  }
  return 0;
}

int runData(const varno::tool::DataOptions& options, bool as_json) {
  std::uint8_t word[4];
  varno::tool::buildDataWord(options, word);
  if (as_json) {
    std::cout << varno::tool::dataJson(word).dump(2) << "\n";
  } else {
    std::cout << varno::tool::dataText(word);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"varno: talk to addressed devices over a serial line, one 12-byte frame each way"};
  app.require_subcommand(1);
  bool as_json = false;
  app.add_flag("--json", as_json, "Print the result as JSON");

  std::vector<std::string> hex;
  auto* decode = app.add_subcommand("decode", "Check and decode a frame given in hex");
  decode->add_option("frame", hex, "12 bytes in hex, spaces allowed (\"9F 01 03 ...\")")
      ->required();

  varno::tool::RecordOptions record_options;
  auto* encode = app.add_subcommand("encode", "Show the frame that a command goes out as");
  varno::tool::addRecordOptions(*encode, record_options);

  varno::tool::DataOptions data_options;
  auto* data = app.add_subcommand("data", "Show a data word in both its encodings");
  varno::tool::addDataOptions(*data, data_options, /*word_positional=*/true);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a parse "error" that exits 0; real ones all exit 2.
    return app.exit(e) == 0 ? 0 : 2;
  }

  try {
    if (*decode) return runDecode(hex, as_json);
    if (*encode) return runEncode(record_options, as_json);
    if (*data) return runData(data_options, as_json);
  } catch (const UsageError& e) {
    std::cerr << "varno: " << e.what() << "\n";
    return 2;
  }
  return 2;
}
