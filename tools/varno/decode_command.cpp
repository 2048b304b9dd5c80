// varno decode: whether 12 bytes are a frame, and what it says.
#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {

CLI::App* addDecodeCommand(CLI::App& app, DecodeOptions& options) {
  CLI::App* decode = app.add_subcommand("decode", "Check and decode a frame given in hex");
  decode->add_option("frame", options.hex, "12 bytes in hex (\"9F 01 03 ...\" or \"9F0103...\")")
      ->required();
  return decode;
}

int runDecode(const DecodeOptions& options, Reporter& reporter) {
  const std::vector<std::uint8_t> bytes = parseHexBytes(options.hex);
  if (bytes.size() != kFrameSize) {
    throw UsageError("a frame is 12 bytes, got " + std::to_string(bytes.size()));
  }
  VarnoFrame frame{};
  const std::int32_t result = varnoFrameDecode(bytes.data(), &frame);
  reporter.decoded(frame, result);
  return result == VARNO_OK ? kExitOk : kExitNoReply;
}

}  // namespace varno::tool
