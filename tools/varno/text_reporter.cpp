#include "text_reporter.h"

#include <cstdio>
#include <string>

#include "format.h"
#include "run_control.h"

namespace varno::tool {

void TextReporter::decoded(const VarnoFrame& frame, std::int32_t result) {
  if (result == VARNO_OK) {
    printText(recordText(frame));
  } else {
    printLine(std::string("not a frame: ") + frameFaultText(result));
  }
}

void TextReporter::encoded(const std::uint8_t* frame) {
  printLine(hexText(frame, kFrameSize));
}

void TextReporter::dataWord(const std::uint8_t* word) {
  printText(dataText(word));
}

void TextReporter::sent(const Transaction& t) {
  std::string text = "outcome " + std::to_string(t.outcome) + " " + outcomeText(t.outcome) + "\n";
  if (t.outcome == VARNO_REPLY) text += recordText(t.reply);
  text += "round trip " + msText(t.round_trip_ms) + "\n";
  printText(text);
}

void TextReporter::found(const ScanResult& on, const ScanResult::Device& device) {
  char address[16];
  std::snprintf(address, sizeof address, "device %3d  ", device.address);
  printLine(on.label + address + replyLine(device.reply));  // as found: a scan takes a while
}

void TextReporter::scanned(const std::vector<ScanResult>& results, int from, int to) {
  for (const ScanResult& run : results) {
    const std::size_t count = run.devices.size();
    printLine(run.label + std::to_string(count) + (count == 1 ? " device" : " devices") +
              " found at addresses " + std::to_string(from) + " to " + std::to_string(to));
    if (run.tried_to != to) {
      printLine(run.label + "interrupted: addresses after " + std::to_string(run.tried_to) +
                " not tried");
    }
  }
}

void TextReporter::polled(const PollTally& on, std::uint64_t n, std::uint8_t, const std::string&,
                          const Transaction& t) {
  std::string line =
      on.label + std::to_string(n) + "  " + outcomeText(t.outcome) + "  " + msText(t.round_trip_ms);
  if (t.outcome == VARNO_REPLY) line += "  " + replyLine(t.reply);
  printLine(line);
}

std::string TextReporter::reconnectText(double gap_ms, std::uint64_t attempts) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", gap_ms / 1000.0);
  return std::string("reconnected after ") + seconds + " s (" + std::to_string(attempts) +
         (attempts == 1 ? " attempt)" : " attempts)");
}

void TextReporter::reconnected(const PollTally& on, const std::string&, double gap_ms,
                               std::uint64_t attempts) {
  printLine(on.label + reconnectText(gap_ms, attempts));
}

void TextReporter::pollSummary(const PollTally& tally, bool interrupted, bool with_reconnects) {
  const std::string& label = tally.label;
  if (interrupted && !outputFailed()) printLine(label + "interrupted");
  printLine(label + "sent " + std::to_string(tally.sent) + ", answers " +
            std::to_string(tally.answers()));
  std::string failures;
  for (int o = VARNO_WRITE_TIMEOUT; o < kOutcomeCount; ++o) {
    if (tally.by_outcome[o] == 0) continue;
    failures += (failures.empty() ? "" : ", ") + std::string(outcomeText(o)) + " " +
                std::to_string(tally.by_outcome[o]);
  }
  if (tally.queue_timeouts > 0) {
    failures += (failures.empty() ? "" : ", ") + std::string(outcomeText(VARNO_E_QUEUE_TIMEOUT)) +
                " " + std::to_string(tally.queue_timeouts);
  }
  printLine(label + "failures: " + (failures.empty() ? std::string("none") : failures));
  const RoundTripStats& rt = tally.round_trips;
  if (rt.count() == 0) {
    printLine(label + "round trip: no replies");
  } else {
    printLine(label + "round trip: min " + msText(rt.min()) + ", median " + msText(rt.median()) +
              ", max " + msText(rt.max()));
  }
  if (with_reconnects) {
    char gap[64];
    std::snprintf(gap, sizeof gap, "%.3f s", tally.gap_ms / 1000.0);
    printLine(label + "reconnects " + std::to_string(tally.reconnects) + ", without the port " +
              gap);
  }
}

void TextReporter::heard(const BusEvent& event) {
  std::string line = rfc3339(event.at.wall) + "  ";
  if (event.fault == BusFault::kNone) {
    const VarnoFrame& f = event.frame;
    char fields[96];
    std::snprintf(fields, sizeof fields, "%3d <- %-3d code %-3d param %-3d status %-3d error %-3d",
                  f.dest & 0x7F, f.source, f.code, f.param, f.status, f.error);
    line += std::string(fields) + " data " + hexText(f.data, kDataSize) + " (unsigned " +
            std::to_string(varnoDataToUInt(f.data)) + ", decimal " + decimalText(f.data) + ")";
  } else {
    line += std::string(busFaultText(event.fault)) + ": " +
            hexText(event.bytes.data(), event.bytes.size());
  }
  printLine(line);
}

void TextReporter::monitorSummary(const MonitorTally& tally, bool port_went_away) {
  if (port_went_away) printLine("the port went away");
  std::string faults;
  for (int f = 1; f < kBusFaultCount; ++f) {
    faults += std::string(f == 1 ? "" : ", ") + busFaultText(static_cast<BusFault>(f)) + " " +
              std::to_string(tally.faults[f]);
  }
  printLine("frames " + std::to_string(tally.frames) + ", faults " +
            std::to_string(tally.faultCount()) + " (" + faults + ")");
  std::string per;
  for (const auto& [address, count] : tally.by_address) {
    per += (per.empty() ? "" : ", ") + std::to_string(address) + ": " + std::to_string(count);
  }
  printLine("frames per address: " + (per.empty() ? std::string("none") : per));
}

void TextReporter::portList(const std::vector<VarnoPortInfo>& ports, bool all) {
  if (ports.empty()) {
    printLine(all ? "no serial ports found"
                  : "no serial ports found (--all lists pseudo-terminals and legacy "
                    "ports with nothing behind them too)");
    return;
  }
  for (const VarnoPortInfo& p : ports) {
    std::string line = p.device;
    if (p.driver[0]) line += "  " + std::string(p.driver);
    if (p.flags & VARNO_PORT_USB) {
      line += "  " + hex4(p.vendor_id) + ":" + hex4(p.product_id);
      const std::string words =
          std::string(p.manufacturer) + (p.manufacturer[0] && p.product[0] ? " " : "") + p.product;
      if (!words.empty()) line += "  " + words;
      if (p.serial_number[0]) line += "  serial " + std::string(p.serial_number);
    } else if (!(p.flags & VARNO_PORT_VIRTUAL) && p.product[0]) {
      line += "  " + std::string(p.product);
    }
    if (p.flags & VARNO_PORT_VIRTUAL) line += "  (virtual or absent)";
    printLine(line);
    if (p.stable_path[0]) printLine("    " + std::string(p.stable_path));
  }
}

void TextReporter::doctorReport(const std::string&, const DoctorReport& report) {
  for (const DoctorReport::Finding& f : report.findings) {
    printLine(std::string(f.ok ? "ok    " : "NOT   ") + f.check + ": " + f.text);
  }
}

}  // namespace varno::tool
