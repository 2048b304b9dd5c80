#include "json_reporter.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <string>

#include "format.h"
#include "run_control.h"

namespace varno::tool {
namespace {

using nlohmann::json;

// An outcome's or a fault's words as a JSON key: "no_reply", "bad_crc".
std::string keyOf(std::string words) {
  std::replace(words.begin(), words.end(), ' ', '_');
  for (char& c : words) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return words;
}

json transactionJsonOf(const Transaction& t) {
  return transactionJson(t.outcome, t.reply, t.round_trip_ms);
}

}  // namespace

void JsonReporter::decoded(const VarnoFrame& frame, std::int32_t result) {
  const bool valid = result == VARNO_OK;
  json out = {{"valid", valid}};
  if (valid) {
    out["record"] = recordJson(frame);
  } else {
    out["fault"] = frameFaultText(result);
  }
  printLine(jsonText(out, 2));
}

void JsonReporter::encoded(const std::uint8_t* frame) {
  printLine(jsonText({{"frame", hexText(frame, kFrameSize)}}, 2));
}

void JsonReporter::dataWord(const std::uint8_t* word) {
  printLine(jsonText(dataJson(word), 2));
}

void JsonReporter::sent(const Transaction& t) {
  printLine(jsonText(transactionJsonOf(t), 2));
}

void JsonReporter::found(const ScanResult&, const ScanResult::Device&) {
  // All at the end, in one document.
}

void JsonReporter::scanned(const std::vector<ScanResult>& results, int from, int to) {
  json all = json::array();
  for (const ScanResult& run : results) {
    json devices = json::array();
    for (const ScanResult::Device& d : run.devices) {
      devices.push_back({{"address", d.address},
                         {"reply", recordJson(d.reply)},
                         {"round_trip_ms", roundedMs(d.round_trip_ms)}});
    }
    all.push_back({{"port", run.port},
                   {"from", from},
                   {"to", to},
                   {"complete", run.tried_to == to},
                   {"count", run.devices.size()},
                   {"devices", devices}});
  }
  printLine(jsonText(all.size() == 1 ? all[0] : json{{"ports", all}}, 2));
}

void JsonReporter::polled(const PollTally& on, std::uint64_t n, std::uint8_t,
                          const std::string& time, const Transaction& t) {
  json line = transactionJsonOf(t);
  line["n"] = n;
  line["time"] = time;
  line["port"] = on.port;
  printLine(jsonText(line));
}

void JsonReporter::reconnected(const PollTally& on, const std::string& lost_at, double gap_ms,
                               std::uint64_t attempts) {
  printLine(jsonText({{"reconnect",
                       {{"port", on.port},
                        {"lost", lost_at},
                        {"gap_ms", roundedMs(gap_ms)},
                        {"attempts", attempts}}}}));
}

void JsonReporter::pollSummary(const PollTally& tally, bool interrupted, bool with_reconnects) {
  json failures = json::object();
  for (int o = VARNO_WRITE_TIMEOUT; o < kOutcomeCount; ++o) {
    failures[keyOf(outcomeText(o))] = tally.by_outcome[o];
  }
  if (tally.queue_timeouts > 0) {
    failures[keyOf(outcomeText(VARNO_E_QUEUE_TIMEOUT))] = tally.queue_timeouts;
  }
  const RoundTripStats& rt = tally.round_trips;
  json round_trip = nullptr;
  if (rt.count() > 0) {
    round_trip = {{"min", roundedMs(rt.min())},
                  {"median", roundedMs(rt.median())},
                  {"max", roundedMs(rt.max())}};
  }
  json summary = {{"sent", tally.sent},         {"answers", tally.answers()},
                  {"failures", failures},       {"round_trip_ms", round_trip},
                  {"interrupted", interrupted}, {"port", tally.port}};
  if (with_reconnects) {
    summary["reconnects"] = tally.reconnects;
    summary["gap_ms"] = roundedMs(tally.gap_ms);
  }
  printLine(jsonText({{"summary", summary}}));
}

void JsonReporter::heard(const BusEvent& event) {
  json line = {{"time", rfc3339(event.at.wall)},
               {"bytes", hexText(event.bytes.data(), event.bytes.size())},
               {"valid", event.fault == BusFault::kNone}};
  if (event.fault == BusFault::kNone) {
    line["frame"] = recordJson(event.frame);
  } else {
    line["fault"] = busFaultText(event.fault);
  }
  printLine(jsonText(line));
}

void JsonReporter::monitorSummary(const MonitorTally& tally, bool port_went_away) {
  json faults = json::object();
  for (int f = 1; f < kBusFaultCount; ++f) {
    faults[keyOf(busFaultText(static_cast<BusFault>(f)))] = tally.faults[f];
  }
  json by_address = json::object();
  for (const auto& [address, count] : tally.by_address) by_address[std::to_string(address)] = count;
  printLine(jsonText({{"summary",
                       {{"frames", tally.frames},
                        {"faults", faults},
                        {"by_address", by_address},
                        {"port_went_away", port_went_away}}}}));
}

void JsonReporter::portList(const std::vector<VarnoPortInfo>& ports, bool) {
  json all = json::array();
  for (const VarnoPortInfo& p : ports) {
    const bool usb = p.flags & VARNO_PORT_USB;
    all.push_back({{"device", p.device},
                   {"stable_path", p.stable_path[0] ? json(p.stable_path) : json(nullptr)},
                   {"driver", p.driver},
                   {"vendor_id", usb ? json(hex4(p.vendor_id)) : json(nullptr)},
                   {"product_id", usb ? json(hex4(p.product_id)) : json(nullptr)},
                   {"manufacturer", p.manufacturer},
                   {"product", p.product},
                   {"serial_number", p.serial_number},
                   {"usb", usb},
                   {"virtual", (p.flags & VARNO_PORT_VIRTUAL) != 0}});
  }
  printLine(jsonText(all, 2));
}

void JsonReporter::doctorReport(const std::string& port, const DoctorReport& report) {
  json findings = json::array();
  for (const DoctorReport::Finding& f : report.findings) {
    findings.push_back({{"check", f.check}, {"ok", f.ok}, {"text", f.text}});
  }
  json holders = json::array();
  for (const PortHolder& h : report.holders) {
    holders.push_back({{"pid", h.pid}, {"command", h.command}});
  }
  printLine(jsonText(
      {{"port", port}, {"usable", !report.blocked}, {"holders", holders}, {"findings", findings}},
      2));
}

}  // namespace varno::tool
