// varno encode: the 12 bytes that a command (or any frame) goes out as.
#include <cstdint>

#include "commands.h"

namespace varno::tool {

CLI::App* addEncodeCommand(CLI::App& app, RecordOptions& options) {
  CLI::App* encode = app.add_subcommand("encode", "Show the frame that a command goes out as");
  addRecordOptions(*encode, options);
  return encode;
}

int runEncode(const RecordOptions& options, Reporter& reporter) {
  const VarnoFrame frame = buildFrame(options);
  std::uint8_t bytes[kFrameSize];
  varnoFrameEncode(&frame, bytes);
  reporter.encoded(bytes);
  return kExitOk;
}

}  // namespace varno::tool
