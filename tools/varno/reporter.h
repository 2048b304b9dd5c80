// How varno shows what its commands find. One Reporter per output format (text_reporter,
// json_reporter, csv_reporter), chosen once from the flags: a command reports what happened and
// never asks which format is wanted. A reporter may be called from several threads at once (scan
// and poll work their ports on threads of their own): it keeps no state, and prints whole lines.
#ifndef VARNO_TOOL_REPORTER_H
#define VARNO_TOOL_REPORTER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_frames.h"
#include "listen_port.h"
#include "port_links.h"
#include "stats.h"
#include "varno_link.h"

namespace varno::tool {

struct OutputOptions {
  bool json = false;
  bool verbose = false;  // the library's diagnostics and varno's own notes go to stderr
};

// The outcomes 0..5 that a tally counts one by one.
inline constexpr int kOutcomeCount = 6;

// What scan found on one port.
struct ScanResult {
  struct Device {
    int address;
    VarnoFrame reply;
    double round_trip_ms;
  };
  std::string port;
  std::string label;  // "PORT  " before each text line when there are several ports, else empty
  std::vector<Device> devices;
  int tried_to = 0;  // the last address tried
};

// A poll's tally on one port.
struct PollTally {
  std::string port;
  std::string label;  // as ScanResult's
  std::uint64_t sent = 0;
  std::uint64_t by_outcome[kOutcomeCount] = {};
  std::uint64_t queue_timeouts = 0;  // varno://: the gateway's bus was busy too long
  RoundTripStats round_trips;
  std::uint64_t reconnects = 0;
  double gap_ms = 0;  // time spent without the port, all gaps together

  void add(const Transaction& t);
  std::uint64_t answers() const { return by_outcome[VARNO_REPLY]; }
};

// What the monitor heard.
struct MonitorTally {
  std::uint64_t frames = 0;
  std::uint64_t faults[kBusFaultCount] = {};
  std::map<int, std::uint64_t> by_address;  // frames, by destination address

  std::uint64_t faultCount() const;
};

// What the doctor found out about a port.
struct DoctorReport {
  struct Finding {
    std::string check;  // "exists", "access", ...
    bool ok;            // nothing in the way, as far as this check goes
    std::string text;
  };
  void add(const std::string& check, bool ok, const std::string& text) {
    findings.push_back({check, ok, text});
  }

  std::vector<Finding> findings;
  std::vector<PortHolder> holders;  // the programs that have the port open
  bool blocked = false;             // something stops the port from being opened
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  // decode: `result` is varnoFrameDecode's (VARNO_OK: `frame` holds the frame).
  virtual void decoded(const VarnoFrame& frame, std::int32_t result) = 0;
  virtual void encoded(const std::uint8_t* frame) = 0;  // encode: the 12 bytes
  virtual void dataWord(const std::uint8_t* word) = 0;  // data: the 4 bytes

  virtual void sent(const Transaction& t) = 0;

  // scan: a device as it is found, then every port's result once all have ended.
  virtual void found(const ScanResult& on, const ScanResult::Device& device) = 0;
  virtual void scanned(const std::vector<ScanResult>& results, int from, int to) = 0;

  // poll: before the first transaction; each transaction (the `n`th, to `address`, begun at
  // `time`); a port back after a gap; each port's summary at the end.
  virtual void pollStarted() = 0;
  virtual void polled(const PollTally& on, std::uint64_t n, std::uint8_t address,
                      const std::string& time, const Transaction& t) = 0;
  virtual void reconnected(const PollTally& on, const std::string& lost_at, double gap_ms,
                           std::uint64_t attempts) = 0;
  virtual void pollSummary(const PollTally& tally, bool interrupted, bool with_reconnects) = 0;

  // monitor: each frame or fault as it is cut, then the summary.
  virtual void heard(const BusEvent& event) = 0;
  virtual void monitorSummary(const MonitorTally& tally, bool port_went_away) = 0;

  // ports: `all` is --all.
  virtual void portList(const std::vector<VarnoPortInfo>& ports, bool all) = 0;

  virtual void doctorReport(const std::string& port, const DoctorReport& report) = 0;
};

// --json, poll's --csv, or text.
std::unique_ptr<Reporter> makeReporter(const OutputOptions& output, bool csv);

}  // namespace varno::tool

#endif  // VARNO_TOOL_REPORTER_H
