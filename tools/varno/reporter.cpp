#include "reporter.h"

#include "csv_reporter.h"
#include "json_reporter.h"
#include "text_reporter.h"

namespace varno::tool {

void PollTally::add(const Transaction& t) {
  ++sent;
  if (t.outcome >= 0 && t.outcome < kOutcomeCount) ++by_outcome[t.outcome];
  if (t.outcome == VARNO_E_QUEUE_TIMEOUT) ++queue_timeouts;
  if (t.outcome == VARNO_REPLY) round_trips.add(t.round_trip_ms);
}

std::uint64_t MonitorTally::faultCount() const {
  std::uint64_t n = 0;
  for (int f = 1; f < kBusFaultCount; ++f) n += faults[f];
  return n;
}

std::unique_ptr<Reporter> makeReporter(const OutputOptions& output, bool csv) {
  // poll refuses --csv with --json itself, after its other arguments.
  if (csv) return std::make_unique<CsvReporter>();
  if (output.json) return std::make_unique<JsonReporter>();
  return std::make_unique<TextReporter>();
}

}  // namespace varno::tool
