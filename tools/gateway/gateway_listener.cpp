#include "gateway_listener.h"

#include <map>

#include "log.h"
#include "protocol/gateway_protocol.h"

namespace varno::gw {
namespace {

namespace proto = varno::gateway;

// Requests a client may have unanswered before its input is left unread (TCP then holds the
// client back): memory stays bounded whatever a client sends.
constexpr std::size_t kMaxPending = 64;
// A connection that has not said HELLO within this long is closed.
constexpr int kHelloSeconds = 10;

class GatewayConnection : public Connection {
 public:
  GatewayConnection(EventLoop& loop, int fd, const std::string& peer,
                    std::shared_ptr<ListenerStats> stats, const BusMap& buses)
      : Connection(loop, fd, peer, std::move(stats)), buses_(buses) {}

  void complete(const Completion& c) override {
    std::lock_guard<std::mutex> lock(out_mutex_);
    --pending_;
    if (closed_) return;
    // Answers go out in the order the requests came: one that expired in the queue waits
    // for the client's own earlier request still on the bus.
    proto::Result result{static_cast<std::uint32_t>(c.tag), c.outcome, c.bus_time_us,
                         recordFromFrame(c.frame)};
    const std::uint32_t seq = static_cast<std::uint32_t>(c.tag >> 32);
    if (seq != next_out_) {
      held_.emplace(seq, result);
    } else {
      send(result);
      for (auto it = held_.find(next_out_); it != held_.end(); it = held_.find(next_out_)) {
        send(it->second);
        held_.erase(it);
      }
    }
    updateInterest();
    if (pending_ == kMaxPending - 1) resumeLater();
  }

  bool helloOverdue(Clock::time_point now) const { return bus_ == nullptr && now > hello_by_; }

 protected:
  bool wantInput() const override { return pending_ < kMaxPending; }

  void onBytes() override {
    std::size_t used = 0;
    while (used < in_.size()) {
      {
        std::lock_guard<std::mutex> lock(out_mutex_);
        if (closed_ || pending_ >= kMaxPending) {
          updateInterest();
          break;
        }
      }
      proto::Message message;
      std::size_t size = 0;
      const proto::ParseStatus status =
          proto::parseMessage(in_.data() + used, in_.size() - used, message, size);
      if (status == proto::ParseStatus::kNeedMore) break;
      if (status == proto::ParseStatus::kMalformed || !handle(message)) {
        // Nothing of a malformed request reaches the bus; the client's queue goes with it.
        malformed();
        return;
      }
      used += size;
      if (welcomed_error_) break;
    }
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
  }

  void onClosed() override {
    if (bus_ != nullptr && client_ != 0) bus_->detach(client_);
  }

 private:
  void malformed() { closeMalformed("malformed request"); }

  void send(const proto::Message& message) {
    scratch_.clear();
    proto::appendMessage(message, scratch_);
    output(scratch_.data(), scratch_.size());
    if (std::holds_alternative<proto::Result>(message)) ++next_out_;
  }

  // False: not this protocol.
  bool handle(const proto::Message& message) {
    if (const auto* hello = std::get_if<proto::Hello>(&message)) {
      if (said_hello_) return false;
      said_hello_ = true;
      return welcome(*hello);
    }
    const auto* transact = std::get_if<proto::Transact>(&message);
    if (transact == nullptr || bus_ == nullptr) return false;
    Request request;
    frameFromRecord(transact->command, request.command);
    request.write_timeout_ms = transact->write_timeout_ms;
    request.reply_timeout_ms = transact->reply_timeout_ms;
    request.tag = static_cast<std::uint64_t>(next_seq_++) << 32 | transact->id;
    {
      std::lock_guard<std::mutex> lock(out_mutex_);
      ++pending_;
    }
    bus_->submit(client_, request);
    return true;
  }

  bool welcome(const proto::Hello& hello) {
    proto::Welcome welcome;
    const auto found = buses_.find(hello.bus);
    if (hello.version != proto::kProtocolVersion) {
      welcome.result = VARNO_E_ARGUMENT;
      logWarning(peer() + ": protocol version " + std::to_string(hello.version) + " not spoken");
    } else if (found == buses_.end()) {
      welcome.result = VARNO_E_NOT_FOUND;
      logWarning(peer() + ": no bus \"" + hello.bus + "\"");
    } else {
      Bus& bus = *found->second;
      welcome.baud_rate = bus.config().baud;
      welcome.queue_timeout_ms = bus.config().queue_timeout_ms;
      welcome.bus_open = bus.isOpen();
      client_ = bus.attach(std::static_pointer_cast<GatewayConnection>(shared_from_this()),
                           hello.client.empty() ? peer() : hello.client + " (" + peer() + ")");
      if (client_ == 0) {
        welcome.result = VARNO_E_RESOURCES;
        logWarning(peer() + ": bus " + hello.bus + " has its " +
                   std::to_string(bus.config().max_connections) + " clients already");
      } else {
        bus_ = &bus;
        logInfo(peer() + ": client \"" + hello.client + "\" on bus " + hello.bus);
      }
    }
    {
      std::lock_guard<std::mutex> lock(out_mutex_);
      scratch_.clear();
      proto::appendMessage(welcome, scratch_);
      output(scratch_.data(), scratch_.size());
    }
    if (welcome.result != VARNO_OK) {
      welcomed_error_ = true;
      closeAfterOutput();
    }
    return true;
  }

  const BusMap& buses_;
  Bus* bus_ = nullptr;  // once welcomed
  Bus::ClientId client_ = 0;
  bool said_hello_ = false;
  bool welcomed_error_ = false;
  std::uint32_t next_seq_ = 0;  // loop thread
  const Clock::time_point hello_by_ = Clock::now() + std::chrono::seconds(kHelloSeconds);
  // Under out_mutex_:
  std::size_t pending_ = 0;
  std::uint32_t next_out_ = 0;
  std::map<std::uint32_t, proto::Result> held_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<Listener> makeGatewayListener(EventLoop& loop, const AllowList& allow,
                                              std::uint32_t limit, const BusMap& buses) {
  auto connections = std::make_shared<std::vector<std::weak_ptr<GatewayConnection>>>();
  auto listener = std::make_unique<Listener>(
      loop, "gateway", allow, limit,
      [&loop, &buses, connections](int fd, const std::string& peer,
                                   std::shared_ptr<ListenerStats> stats) {
        auto c = std::make_shared<GatewayConnection>(loop, fd, peer, std::move(stats), buses);
        connections->push_back(c);
        return c;
      });
  // Connections that never say HELLO do not keep their place for ever.
  loop.everySecond([connections] {
    const Clock::time_point now = Clock::now();
    std::vector<std::weak_ptr<GatewayConnection>> live;
    for (const auto& weak : *connections) {
      auto c = weak.lock();
      if (c == nullptr) continue;
      if (c->helloOverdue(now)) {
        c->close("no HELLO within " + std::to_string(kHelloSeconds) + " s");
      } else {
        live.push_back(weak);
      }
    }
    connections->swap(live);
  });
  return listener;
}

}  // namespace varno::gw
