// varno data: a data word in both its encodings.
#include <cstdint>

#include "commands.h"

namespace varno::tool {

CLI::App* addDataCommand(CLI::App& app, DataOptions& options) {
  CLI::App* data = app.add_subcommand("data", "Show a data word in both its encodings");
  addDataOptions(*data, options, /*word_positional=*/true);
  return data;
}

int runData(const DataOptions& options, Reporter& reporter) {
  std::uint8_t word[kDataSize];
  buildDataWord(options, word);
  reporter.dataWord(word);
  return kExitOk;
}

}  // namespace varno::tool
