// poll --csv: a header row, then one row per transaction, for a log; no summary. Only poll has
// a CSV form (--csv is its own option), so the other commands never report here; were one to,
// it would come out as text.
#ifndef VARNO_TOOL_CSV_REPORTER_H
#define VARNO_TOOL_CSV_REPORTER_H

#include "text_reporter.h"

namespace varno::tool {

class CsvReporter : public TextReporter {
 public:
  void pollStarted() override;
  void polled(const PollTally& on, std::uint64_t n, std::uint8_t address, const std::string& time,
              const Transaction& t) override;
  // On stderr, to keep the rows alone on standard output.
  void reconnected(const PollTally& on, const std::string& lost_at, double gap_ms,
                   std::uint64_t attempts) override;
  void pollSummary(const PollTally&, bool, bool) override {}
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_CSV_REPORTER_H
