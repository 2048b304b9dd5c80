#include "remote/gateway_carrier.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "core/connection.h"
#include "core/diagnostic.h"
#include "network/host_lookup.h"
#include "network/network_name.h"
#include "network/socket.h"
#include "os/platform.h"
#include "protocol/gateway_protocol.h"

namespace varno {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr std::size_t kReceiveChunk = 512;

enum class Read {
  kMessage,
  kTimeOut,    // the deadline passed, or the waits were aborted
  kEnded,      // the connection closed or failed
  kMalformed,  // not this protocol
};

class GatewayCarrier final : public Carrier {
 public:
  GatewayCarrier() : socket_(makeSocket()) {}
  ~GatewayCarrier() override { drop(); }

  std::int32_t open(const std::string& name, const PortSettings& settings,
                    bool log_steps) override {
    std::lock_guard lock(io_);
    const auto fail = [this, log_steps](const char* text, std::int32_t code) {
      if (log_steps) logDiagnostic(text);
      closeSocket();
      return code;
    };
    NetworkPortName parsed;
    if (!parseNetworkPortName(name, parsed) || parsed.protocol != NetworkProtocol::kGateway) {
      return fail("\n openInterface INVALID_HANDLE_VALUE", VARNO_E_ARGUMENT);
    }
    // The bus runs at the gateway's rate; 0 is refused as it is on every other port.
    if (settings.baud_rate == 0) {
      return fail("\n openInterface !SetCommState", VARNO_E_REFUSED_LINE_SETTINGS);
    }
    if (!socket_ || !socket_->createAbortEvent()) {
      return fail("\n openInterface !CreateEvent", VARNO_E_RESOURCES);
    }
    // One time-out for all of it: the lookup, the connect and the gateway's WELCOME.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(parsed.connect_timeout_ms);
    const PortError connected =
        connectWithin(*socket_, parsed.host, parsed.port, deadline, aborted_);
    if (connected != PortError::kNone) {
      return fail("\n openInterface INVALID_HANDLE_VALUE",
                  connected == PortError::kResources ? VARNO_E_RESOURCES : VARNO_E_NOT_FOUND);
    }
    connected_ = true;
    socket_->tune();

    gateway::appendMessage(gateway::Hello{gateway::kProtocolVersion, parsed.bus,
                                          gatewayClientName(programDescription())},
                           out_);
    gateway::Message message;
    const Read read = flush(deadline) ? next(message, deadline) : Read::kEnded;
    const auto* welcome = std::get_if<gateway::Welcome>(&message);
    if (read == Read::kTimeOut || read == Read::kEnded) {
      // Nobody there who answers: as a server that cannot be reached.
      return fail("\n openInterface INVALID_HANDLE_VALUE", VARNO_E_NOT_FOUND);
    }
    if (read == Read::kMalformed || welcome == nullptr ||
        welcome->version != gateway::kProtocolVersion) {
      // Something answers, but not a gateway of this protocol.
      return fail("\n openInterface INVALID_HANDLE_VALUE", VARNO_E_NOT_SERIAL);
    }
    if (welcome->result != 0) {
      return fail("\n openInterface INVALID_HANDLE_VALUE",
                  welcome->result < 0 ? welcome->result : VARNO_E_SYSTEM);
    }
    queue_timeout_ms_ = welcome->queue_timeout_ms;
    bus_baud_rate_ = welcome->baud_rate;
    return 0;
  }

  bool start(Session& s) override {
    std::lock_guard lock(io_);
    if (!connected_) return false;
    id_ = ++last_id_;
    deadline_ = safetyDeadline(s.write_timeout_ms, s.reply_timeout_ms);
    if (broken_) return true;  // finishSending says so
    gateway::appendMessage(
        gateway::Transact{id_, s.write_timeout_ms, s.reply_timeout_ms, s.request}, out_);
    flush(Clock::now());  // as much as goes out without waiting
    return true;
  }

  std::int32_t finishSending(Session&) override {
    std::lock_guard lock(io_);
    if (broken_ || !flush(deadline_)) return lost();
    return kCommandSent;
  }

  std::int32_t awaitOutcome(Session& s) override {
    std::lock_guard lock(io_);
    for (;;) {
      if (broken_) return lost();
      gateway::Message message;
      const Read read = next(message, deadline_);
      if (read == Read::kTimeOut) {
        if (aborted_.load()) return s.abandoned() ? kSessionAbandoned : kReadFailed;
        // The gateway keeps the connection but does not answer: nothing it sends later may be
        // taken for a later request's answer, so the connection goes.
        return lost();
      }
      if (read != Read::kMessage) return lost();
      const auto* result = std::get_if<gateway::Result>(&message);
      if (result == nullptr || !knownOutcome(result->outcome)) return lost();
      // An answer to an earlier request (one whose outcome nobody waited for) is dropped.
      if (result->id != id_) continue;
      if (result->outcome == kReplyValid) s.reply = result->frame;
      return result->outcome;
    }
  }

  void abortWaits() override {
    aborted_.store(true);
    if (socket_) socket_->abort();  // lock-free
  }

  void release(bool log_steps) override {
    std::lock_guard lock(io_);
    if (log_steps) logDiagnostic("\n closeInterface I/O is canceled");
    closeSocket();
  }

  void drop() override {
    std::lock_guard lock(io_);
    closeSocket();
  }

 private:
  static bool knownOutcome(std::int32_t outcome) {
    return (outcome >= kReplyValid && outcome <= kReplyInvalid) || outcome == VARNO_E_QUEUE_TIMEOUT;
  }

  // How long a transaction may take before the gateway is taken for gone: its own time-outs,
  // the longest the gateway may keep it in its queue, two frames on the wire at the bus's rate,
  // and a margin. None when any of those has no limit: the host asked to wait, and a gateway
  // that goes away still ends the wait (the connection's end, or keep-alive's).
  Deadline safetyDeadline(std::uint32_t write_ms, std::uint32_t reply_ms) const {
    if (write_ms == kInfinite || reply_ms == kInfinite || queue_timeout_ms_ == kInfinite) {
      return std::nullopt;
    }
    const std::uint64_t frames_ms = 2 * kFrameSize * 10 * 1000 / std::max(bus_baud_rate_, 1u);
    const std::uint64_t total =
        std::uint64_t{write_ms} + reply_ms + queue_timeout_ms_ + frames_ms + kGatewayMarginMs;
    return Clock::now() + std::chrono::milliseconds(total);
  }

  // The transaction ends as a read that failed, and so does every later one on this link.
  std::int32_t lost() {
    broken_ = true;
    if (socket_) socket_->close();
    return kReadFailed;
  }

  void closeSocket() {
    connected_ = false;
    broken_ = true;
    if (socket_) socket_->close();
  }

  // Sends what is queued, waiting for room until `deadline`. False when it could not all go.
  bool flush(Deadline deadline) {
    while (out_begin_ < out_.size()) {
      std::size_t sent = 0;
      const IoStatus status =
          socket_->send(out_.data() + out_begin_, out_.size() - out_begin_, sent);
      if (status == IoStatus::kDone) {
        out_begin_ += sent;
      } else if (status != IoStatus::kWouldBlock) {
        broken_ = true;
        return false;
      } else if (waitForSocket(*socket_, kSocketWritable, deadline, aborted_) == 0) {
        return false;
      }
    }
    out_.clear();
    out_begin_ = 0;
    return true;
  }

  // The next whole message, reading until `deadline`.
  Read next(gateway::Message& message, Deadline deadline) {
    for (;;) {
      std::size_t consumed = 0;
      switch (gateway::parseMessage(in_.data(), in_.size(), message, consumed)) {
        case gateway::ParseStatus::kMessage:
          in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(consumed));
          return Read::kMessage;
        case gateway::ParseStatus::kMalformed:
          return Read::kMalformed;
        case gateway::ParseStatus::kNeedMore:
          break;
      }
      const std::size_t held = in_.size();
      in_.resize(held + kReceiveChunk);
      std::size_t got = 0;
      const IoStatus status = socket_->receive(in_.data() + held, kReceiveChunk, got);
      in_.resize(held + (status == IoStatus::kDone ? got : 0));
      if (status == IoStatus::kDone) continue;
      if (status != IoStatus::kWouldBlock) return Read::kEnded;
      if (waitForSocket(*socket_, kSocketReadable, deadline, aborted_) == 0) return Read::kTimeOut;
    }
  }

  // Set once in the constructor; abortWaits reaches it without the lock.
  const std::unique_ptr<Socket> socket_;
  std::mutex io_;  // every operation, waits included (an abort ends those at once)
  std::atomic<bool> aborted_{false};
  bool connected_ = false;
  bool broken_ = false;  // the connection has ended, failed or been given up
  std::uint32_t queue_timeout_ms_ = 0;
  std::uint32_t bus_baud_rate_ = 0;
  std::uint32_t last_id_ = 0;
  std::uint32_t id_ = 0;  // the transaction's under way
  Deadline deadline_;
  std::vector<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  std::size_t out_begin_ = 0;
};

}  // namespace

std::unique_ptr<Carrier> makeGatewayCarrier() {
  return std::make_unique<GatewayCarrier>();
}

std::string gatewayClientName(const std::string& description) {
  std::string name = description;
  if (name.size() > gateway::kMaxNameSize) {
    // A long program name is cut, not the process id after it.
    const std::size_t space = name.rfind(' ');
    const std::size_t tail = space == std::string::npos ? 0 : name.size() - space;
    if (tail < gateway::kMaxNameSize) {
      name.erase(gateway::kMaxNameSize - tail, name.size() - tail - (gateway::kMaxNameSize - tail));
    }
    name.resize(std::min(name.size(), gateway::kMaxNameSize));
  }
  for (char& c : name) {
    if (c < ' ' || c > '~') c = '?';
  }
  return name;
}

}  // namespace varno
