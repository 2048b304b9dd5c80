// Transactions carried by the library itself over a port whose bytes it moves: the command's
// frame written, the reply's frame read and checked here.
#include <memory>

#include "core/carrier.h"
#include "core/classic_policy.h"
#include "core/connection.h"
#include "core/diagnostic.h"
#include "ports/port_registry.h"
#include "remote/gateway_carrier.h"

namespace varno {
namespace {

class PortCarrier final : public Carrier {
 public:
  explicit PortCarrier(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

  std::int32_t open(const std::string& name, const PortSettings& settings,
                    bool log_steps) override {
    const OpenStatus status = port_->open(name, portSettingsFor(name, settings));
    if (status.ok()) return 0;
    if (log_steps) logDiagnostic(classicOpenText(status.failed));
    port_->close();
    return openFailureCode(status);
  }

  bool start(Session& s) override {
    // Whatever the driver still holds either way goes first, stray or late bytes of an earlier
    // reply included: this is what brings the line back in step after any upset.
    if (!port_->discard() || !port_->startWrite(s.out.data(), s.out.size())) {
      port_->cancel();
      return false;
    }
    return true;
  }

  std::int32_t finishSending(Session& s) override {
    switch (port_->finishWrite(s.write_timeout_ms)) {
      case WaitResult::kDone:
        return kCommandSent;
      case WaitResult::kFailed:
        return fail(kWriteFailed);
      case WaitResult::kTimedOut:
      case WaitResult::kAborted:  // a close's: the close decides what the caller is told
        break;
    }
    return fail(kWriteTimedOut);
  }

  std::int32_t awaitOutcome(Session& s) override {
    // Only the wait for the first byte is timed here; the inter-byte limit ends the read.
    switch (port_->awaitInput(s.reply_timeout_ms)) {
      case WaitResult::kDone:
        break;
      case WaitResult::kTimedOut:
        return fail(kNoReply);
      case WaitResult::kFailed:
        // The line has gone: the read that would have followed fails at once.
        return fail(kReadFailed);
      case WaitResult::kAborted:
        // A close of a link that ends its transaction as closed, or one that gave the worker up.
        if (s.closing.load() || !s.abandoned()) return fail(kNoReply);
        return kSessionAbandoned;
    }

    s.in.fill(0);
    std::size_t bytes_read = 0;
    if (!port_->read(s.in.data(), s.in.size(), bytes_read)) return fail(kReadFailed);

    // A reply cut short is not decoded: its zero-filled tail would pass the CRC one time in 128
    // and hand over fields the device never sent.
    if (bytes_read < kFrameSize) return kReplyInvalid;
    s.reply = CommandRecord{};
    return decodeFrame(s.in.data(), s.reply) ? kReplyValid : kReplyInvalid;
  }

  void abortWaits() override { port_->abort(); }

  void release(bool log_steps) override {
    port_->cancel();
    if (log_steps) logDiagnostic("\n closeInterface I/O is canceled");
    port_->close();
  }

  void drop() override { port_->close(); }

 private:
  std::int32_t fail(std::int32_t outcome) {
    port_->cancel();
    return outcome;
  }

  const std::unique_ptr<SerialPort> port_;
};

}  // namespace

std::unique_ptr<Carrier> makeCarrierFor(const std::string& name, const OpenOptions& options) {
  if (options.make_port) return std::make_unique<PortCarrier>(options.make_port());
  if (portScheme(name) == "varno") return makeGatewayCarrier();
  return std::make_unique<PortCarrier>(makePortFor(name));
}

}  // namespace varno
