// varno's output for people: the default.
#ifndef VARNO_TOOL_TEXT_REPORTER_H
#define VARNO_TOOL_TEXT_REPORTER_H

#include "reporter.h"

namespace varno::tool {

class TextReporter : public Reporter {
 public:
  void decoded(const VarnoFrame& frame, std::int32_t result) override;
  void encoded(const std::uint8_t* frame) override;
  void dataWord(const std::uint8_t* word) override;
  void sent(const Transaction& t) override;
  void found(const ScanResult& on, const ScanResult::Device& device) override;
  void scanned(const std::vector<ScanResult>& results, int from, int to) override;
  void pollStarted() override {}
  void polled(const PollTally& on, std::uint64_t n, std::uint8_t address, const std::string& time,
              const Transaction& t) override;
  void reconnected(const PollTally& on, const std::string& lost_at, double gap_ms,
                   std::uint64_t attempts) override;
  void pollSummary(const PollTally& tally, bool interrupted, bool with_reconnects) override;
  void heard(const BusEvent& event) override;
  void monitorSummary(const MonitorTally& tally, bool port_went_away) override;
  void portList(const std::vector<VarnoPortInfo>& ports, bool all) override;
  void doctorReport(const std::string& port, const DoctorReport& report) override;

 protected:
  // "reconnected after 1.250 s (3 attempts)".
  static std::string reconnectText(double gap_ms, std::uint64_t attempts);
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_TEXT_REPORTER_H
