#include "raw_listener.h"

#include "log.h"
#include "protocol/frame.h"

namespace varno::gw {
namespace {

class RawConnection : public Connection {
 public:
  RawConnection(EventLoop& loop, int fd, const std::string& peer,
                std::shared_ptr<ListenerStats> stats, Bus& bus)
      : Connection(loop, fd, peer, std::move(stats)), bus_(bus) {}

  bool attach() {
    client_ =
        bus_.attach(std::static_pointer_cast<RawConnection>(shared_from_this()), "raw " + peer());
    return client_ != 0;
  }

  void complete(const Completion& c) override {
    std::lock_guard<std::mutex> lock(out_mutex_);
    // A command the client has sent another one after is one it gave up on: never answered
    // late, where it would be taken for the answer to the newer one.
    if (closed_ || c.tag != current_) return;
    if (c.outcome != VARNO_REPLY) return;  // nothing came that could be passed on
    // A valid reply encodes to the very bytes that came (the codec is one-to-one).
    CommandRecord r;
    r.dest = c.frame.dest;
    r.source = c.frame.source;
    r.code = c.frame.code;
    r.param = c.frame.param;
    r.status = c.frame.status;
    r.error = c.frame.error;
    std::copy(c.frame.data, c.frame.data + 4, r.data_arr);
    Frame bytes;
    encodeFrame(r, bytes.data());
    output(bytes.data(), bytes.size());
  }

 protected:
  void onBytes() override {
    // Only whole, valid frames: a byte out of place is not this protocol, and nothing of it
    // may reach the bus.
    bool have_command = false;
    Frame command;
    for (const std::uint8_t byte : in_) {
      const bool start = (byte & kStartMark) != 0;
      if (start != frame_.empty()) {
        malformed(start ? "a start mark inside a frame" : "a byte outside a frame");
        return;
      }
      frame_.push_back(byte);
      if (frame_.size() < kFrameSize) continue;
      if (checkFrame(frame_.data()) != FrameFault::kNone) {
        malformed("a frame with a bad CRC");
        return;
      }
      std::copy(frame_.begin(), frame_.end(), command.begin());
      have_command = true;
      frame_.clear();
    }
    in_.clear();
    // Of several frames read at once only the last is still wanted: each one after the first
    // came while its predecessor was unanswered.
    if (have_command) submit(command);
  }

  void onClosed() override { bus_.detach(client_); }

 private:
  void malformed(const char* what) { closeMalformed(std::string(what) + " on the raw listener"); }

  void submit(const Frame& bytes) {
    CommandRecord r;
    decodeFrame(bytes.data(), r);
    Request request;
    request.command = VarnoFrame{
        static_cast<std::uint8_t>(r.dest & 0x7F), r.source, r.code, r.param, r.status, r.error, {}};
    std::copy(r.data_arr, r.data_arr + 4, request.command.data);
    {
      std::lock_guard<std::mutex> lock(out_mutex_);
      request.tag = ++current_;
    }
    bus_.cancelQueued(client_);  // the previous one, if it has not reached the bus
    bus_.submit(client_, request);
  }

  Bus& bus_;
  Bus::ClientId client_ = 0;
  std::vector<std::uint8_t> frame_;  // loop thread
  std::uint64_t current_ = 0;        // under out_mutex_: the one request still wanted
};

}  // namespace

std::unique_ptr<Listener> makeRawListener(EventLoop& loop, const AllowList& allow, Bus& bus) {
  return std::make_unique<Listener>(
      loop, "bus " + bus.config().name + " raw", allow, bus.config().max_connections,
      [&loop, &bus](int fd, const std::string& peer,
                    std::shared_ptr<ListenerStats> stats) -> std::shared_ptr<Connection> {
        auto c = std::make_shared<RawConnection>(loop, fd, peer, stats, bus);
        if (!c->attach()) {
          ++stats->refused_limit;
          logWarning("bus " + bus.config().name + ": refused " + peer + " (the bus has its " +
                     std::to_string(bus.config().max_connections) + " clients already)");
          // (Its destructor closes the socket.)
          return nullptr;
        }
        return c;
      });
}

}  // namespace varno::gw
