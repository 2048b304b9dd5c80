// Transactions carried by the library itself over a port whose bytes it moves: the command's
// frame written, the reply's frame read and checked here.
#include <memory>

#include "core/carrier.h"
#include "core/connection.h"
#include "core/diagnostic.h"
#include "network/network_port.h"
#include "remote/gateway_carrier.h"

namespace varno {
namespace {

// The code for a failed open step: what the system said, where it said more than "refused".
std::int32_t stepFailure(const SerialPort& port, std::int32_t refused) {
  switch (port.failure()) {
    case PortError::kNone:
      return refused;
    case PortError::kNotFound:
      return VARNO_E_NOT_FOUND;
    case PortError::kPermission:
      return VARNO_E_PERMISSION;
    case PortError::kInUse:
      return VARNO_E_IN_USE;
    case PortError::kNotSerial:
      return VARNO_E_NOT_SERIAL;
    case PortError::kResources:
      return VARNO_E_RESOURCES;
    case PortError::kSystem:
      return VARNO_E_SYSTEM;
    case PortError::kBadName:
      return VARNO_E_ARGUMENT;
  }
  return refused;
}

class PortCarrier final : public Carrier {
 public:
  explicit PortCarrier(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

  std::int32_t open(const std::string& name, const LineSettings& settings, bool classic) override {
    const auto log = [classic](const char* text) {
      if (classic) logDiagnostic(text);
    };
    SerialPort& port = *port_;
    if (!port.createEvents()) {
      log("\n openInterface !CreateEvent");
      port.close();
      return VARNO_E_RESOURCES;
    }
    if (!port.open(name)) {
      log("\n openInterface INVALID_HANDLE_VALUE");
      const std::int32_t code = stepFailure(port, VARNO_E_NOT_FOUND);
      port.close();
      return code;
    }
    struct Step {
      bool (*run)(SerialPort&, const LineSettings&);
      const char* failure;
      std::int32_t code;
    };
    static const Step kSteps[] = {
        {[](SerialPort& p, const LineSettings&) { return p.purge(kPurgeAll); },
         "\n openInterface !PurgeComm", VARNO_E_REFUSED_PURGE},
        {[](SerialPort& p, const LineSettings&) { return p.saveEventMask(); },
         "\n openInterface !GetCommMask", VARNO_E_REFUSED_READ_SETTINGS},
        {[](SerialPort& p, const LineSettings&) { return p.saveLineSettings(); },
         "\n openInterface !GetCommState", VARNO_E_REFUSED_READ_SETTINGS},
        {[](SerialPort& p, const LineSettings&) { return p.saveTimeouts(); },
         "\n openInterface !GetCommTimeouts", VARNO_E_REFUSED_READ_SETTINGS},
        {[](SerialPort& p, const LineSettings&) { return p.setQueueSizes(kQueueSize, kQueueSize); },
         "\n openInterface !SetupComm", VARNO_E_REFUSED_QUEUES},
        {[](SerialPort& p, const LineSettings& s) { return p.applyLineSettings(s); },
         "\n openInterface !SetCommState", VARNO_E_REFUSED_LINE_SETTINGS},
        {[](SerialPort& p, const LineSettings&) { return p.applyTimeouts(); },
         "\n openInterface !SetCommTimeouts", VARNO_E_REFUSED_TIMEOUTS},
        {[](SerialPort& p, const LineSettings&) { return p.applyEventMask(); },
         "\n openInterface !SetCommMask", VARNO_E_REFUSED_EVENT_MASK},
        {[](SerialPort& p, const LineSettings&) { return p.clearErrors(); },
         "\n openInterface !ClearCommError", VARNO_E_REFUSED_CLEAR_ERRORS},
    };
    for (const Step& step : kSteps) {
      if (!step.run(port, settings)) {
        log(step.failure);
        const std::int32_t code = stepFailure(port, step.code);
        port.close();
        return code;
      }
    }
    return 0;
  }

  bool start(Session& s) override {
    // Whatever the driver still holds either way goes first, stray or late bytes of an earlier
    // reply included: this is what brings the line back in step after any upset.
    if (!port_->purge(kPurgeAll) || !port_->startWrite(s.out.data(), s.out.size())) {
      port_->cancelIo();
      return false;
    }
    return true;
  }

  std::int32_t finishSending(Session& s) override {
    if (!port_->waitWrite(s.write_timeout_ms)) return fail(kWriteTimedOut);
    if (!port_->writeResult()) return fail(kWriteFailed);
    return kCommandSent;
  }

  std::int32_t awaitOutcome(Session& s) override {
    SerialPort& port = *port_;
    // Only the wait for the first byte is timed here; the driver's inter-byte limit ends the
    // read. Reading starts at the first query of the driver's count that sees a byte; between
    // queries the port may wait for one (for no longer than the time left).
    const std::uint32_t start = millisecondClock();
    std::uint32_t queried_at = start;
    while (port.inputCount() == 0) {
      const auto elapsed = static_cast<std::uint32_t>(queried_at - start);
      if (elapsed >= s.reply_timeout_ms || s.closing.load()) return fail(kNoReply);
      if (s.abandoned()) return kSessionAbandoned;
      port.awaitInput(s.reply_timeout_ms - elapsed);
      queried_at = millisecondClock();
    }

    s.in.fill(0);
    if (!port.startRead(s.in.data(), s.in.size())) return fail(kReadFailed);
    port.waitRead();
    std::size_t bytes_read = 0;
    if (!port.readResult(bytes_read)) return fail(kReadFailed);

    // A reply cut short is not decoded: its zero-filled tail would pass the CRC one time in 128
    // and hand over fields the device never sent.
    if (bytes_read < kFrameSize) return kReplyInvalid;
    s.reply = CommandRecord{};
    return decodeFrame(s.in.data(), s.reply) ? kReplyValid : kReplyInvalid;
  }

  void abortWaits() override { port_->abortWaits(); }

  void release(bool classic) override {
    port_->cancelIo();
    if (classic) logDiagnostic("\n closeInterface I/O is canceled");
    port_->purge(kPurgeTxAbort | kPurgeRxAbort);
    port_->purge(kPurgeTxClear | kPurgeRxClear);
    port_->restoreSettings();
    port_->close();
  }

  void drop() override { port_->close(); }

 private:
  std::int32_t fail(std::int32_t outcome) {
    port_->cancelIo();
    return outcome;
  }

  const std::unique_ptr<SerialPort> port_;
};

}  // namespace

std::unique_ptr<Carrier> makeCarrierFor(const std::string& name, const OpenOptions& options) {
  if (options.make_port) return std::make_unique<PortCarrier>(options.make_port());
  if (isGatewayPortName(name)) return makeGatewayCarrier();
  return std::make_unique<PortCarrier>(makePortFor(name));
}

}  // namespace varno
