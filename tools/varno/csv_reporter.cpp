#include "csv_reporter.h"

#include <cstdio>
#include <string>

#include "format.h"
#include "run_control.h"

namespace varno::tool {

void CsvReporter::pollStarted() {
  printLine(
      "time,port,n,address,outcome,outcome_text,round_trip_ms,source,code,param,status,error,"
      "data_bytes,data_uint,data_decimal");
}

void CsvReporter::polled(const PollTally& on, std::uint64_t n, std::uint8_t address,
                         const std::string& time, const Transaction& t) {
  char round_trip[32];
  std::snprintf(round_trip, sizeof round_trip, "%.3f", t.round_trip_ms);
  std::string row = time + "," + csvField(on.port) + "," + std::to_string(n) + "," +
                    std::to_string(address) + "," + std::to_string(t.outcome) + "," +
                    outcomeText(t.outcome) + "," + round_trip;
  if (t.outcome == VARNO_REPLY) {
    const VarnoFrame& r = t.reply;
    row += "," + std::to_string(r.source) + "," + std::to_string(r.code) + "," +
           std::to_string(r.param) + "," + std::to_string(r.status) + "," +
           std::to_string(r.error) + "," + hexText(r.data, kDataSize) + "," +
           std::to_string(varnoDataToUInt(r.data)) + "," + decimalText(r.data);
  } else {
    row += ",,,,,,,,";
  }
  printLine(row);
}

void CsvReporter::reconnected(const PollTally& on, const std::string&, double gap_ms,
                              std::uint64_t attempts) {
  note(on.port + ": " + reconnectText(gap_ms, attempts));
}

}  // namespace varno::tool
