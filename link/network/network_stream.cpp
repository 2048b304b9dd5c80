#include "network/network_stream.h"

#include <algorithm>
#include <cstring>

#include "network/host_lookup.h"
#include "os/platform.h"

namespace varno {
namespace {

// A clear takes at most this many buffers' worth of what is waiting.
constexpr int kMaxClearRounds = 16;
// One look at the connection reads at most this many buffers' worth. Telnet commands decode to
// no data, so a server sending them without pause never fills the buffer: the callers' own loops,
// which keep their deadlines and see an abort, look again.
constexpr int kMaxPumpRounds = 4;
// Pauses before a session the server ended during the open is opened again: doubled each time.
constexpr std::uint32_t kFirstReopenPauseMs = 10;
constexpr std::uint32_t kMaxReopenPauseMs = 100;

}  // namespace

NetworkStream::NetworkStream() : socket_(makeSocket()) {}

bool NetworkStream::createAbortEvent() {
  return socket_ && socket_->createAbortEvent();
}

PortError NetworkStream::connect(const NetworkPortName& name) {
  protocol_ = name.protocol;
  connect_timeout_ms_ = name.connect_timeout_ms;
  negotiation_timeout_ms_ = name.negotiation_timeout_ms;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(name.connect_timeout_ms);
  const PortError error =
      connectWithin(*socket_, name.host, name.port, deadline, aborted_, &address_);
  if (error == PortError::kNone) startSession();
  return error;
}

// A server may end a session before the line is set: ser2net does, with a line of text, while it
// is still giving the terminal back from the session before (for 10 to 20 ms after that one's
// close), or while another client holds the line. Such a session is opened again, within the
// negotiation time-out; one the server still ends then means the line is taken.
bool NetworkStream::setLine(std::uint32_t baud_rate, PortError& error) {
  error = PortError::kNone;
  const Clock::time_point give_up =
      Clock::now() + std::chrono::milliseconds(negotiation_timeout_ms_);
  std::uint32_t pause_ms = kFirstReopenPauseMs;
  while (!negotiate() || !sendLineSettings(baud_rate)) {
    if (!broken_ || out_of_step_ || aborted_.load()) return false;
    if (Clock::now() + std::chrono::milliseconds(pause_ms) >= give_up) {
      error = PortError::kInUse;
      return false;
    }
    sleepMilliseconds(pause_ms);
    pause_ms = std::min(2 * pause_ms, kMaxReopenPauseMs);
    if (!reconnect(give_up)) {
      error = PortError::kNotFound;
      return false;
    }
  }
  // Whatever the server held from before this session.
  server_stale_ = true;
  purgeServer(true, true);
  return true;
}

void NetworkStream::abort() {
  aborted_.store(true);
  if (socket_) socket_->abort();  // lock-free
}

void NetworkStream::close() {
  if (socket_) socket_->close();
}

// A new connection's first steps: nothing carried over from an earlier one, and the offers out.
void NetworkStream::startSession() {
  socket_->tune();
  broken_ = false;
  in_begin_ = in_end_ = 0;
  out_begin_ = out_end_ = 0;
  decoder_ = telnet::Decoder();
  telnet_ = TelnetClient();
  if (telnet()) {
    std::uint8_t offers[16];
    queue(offers, telnet_.offers(offers));
    flushOut();
  }
}

// The address the open connected to, again.
bool NetworkStream::reconnect(Clock::time_point deadline) {
  deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(connect_timeout_ms_));
  if (!connectTo(*socket_, address_, deadline, aborted_)) return false;
  startSession();
  return true;
}

unsigned NetworkStream::waitFor(unsigned want, std::optional<Clock::time_point> deadline) {
  return waitForSocket(*socket_, want, deadline, aborted_);
}

void NetworkStream::pump() {
  if (broken_) return;
  for (int round = 0; round < kMaxPumpRounds && !aborted_.load(); ++round) {
    if (in_begin_ == in_end_) in_begin_ = in_end_ = 0;
    if (in_begin_ > 0 && in_end_ == kInCapacity) {
      std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
      in_end_ -= in_begin_;
      in_begin_ = 0;
    }
    const std::size_t room = kInCapacity - in_end_;
    if (room == 0) return;
    std::size_t got = 0;
    const IoStatus status = socket_->receive(received_.data(), room, got);
    if (status == IoStatus::kWouldBlock) return;
    if (status != IoStatus::kDone) {
      broken_ = true;
      return;
    }
    if (telnet()) {
      in_end_ += decoder_.decode(received_.data(), got, in_.data() + in_end_, telnet_);
      if (decoder_.failed()) {
        // An endless sub-negotiation: nothing after it can be trusted as data. The connection
        // is as good as dropped, and is reported so until the link is closed.
        broken_ = true;
        out_of_step_ = true;
        return;
      }
      if (telnet_.replySize() > 0) {
        queue(telnet_.replies(), telnet_.replySize());
        telnet_.clearReplies();
        flushOut();
      }
    } else {
      std::memcpy(in_.data() + in_end_, received_.data(), got);
      in_end_ += got;
    }
    if (got < room) return;
  }
}

std::size_t NetworkStream::take(std::uint8_t* out, std::size_t size) {
  const std::size_t n = std::min(in_end_ - in_begin_, size);
  if (n == 0) return 0;
  std::memcpy(out, in_.data() + in_begin_, n);
  in_begin_ += n;
  return n;
}

bool NetworkStream::queueData(std::uint8_t byte) {
  std::uint8_t unit[2];
  std::size_t size = 1;
  if (telnet()) {
    size = telnet::encodeData(byte, unit);
  } else {
    unit[0] = byte;
  }
  return queue(unit, size);
}

// Appends one unit (a data byte as sent, or a whole command) to what goes out: units are never
// cut when output is dropped, so the server's telnet parser never loses its step. False when
// there is no room (a server that has stopped reading).
bool NetworkStream::queue(const std::uint8_t* bytes, std::size_t size) {
  if (out_begin_ == out_end_) out_begin_ = out_end_ = 0;
  if (kOutCapacity - out_end_ < size && out_begin_ > 0) {
    std::memmove(out_.data(), out_.data() + out_begin_, out_end_ - out_begin_);
    std::memmove(unit_start_.data(), unit_start_.data() + out_begin_, out_end_ - out_begin_);
    out_end_ -= out_begin_;
    out_begin_ = 0;
  }
  if (kOutCapacity - out_end_ < size) return false;
  std::memcpy(out_.data() + out_end_, bytes, size);
  for (std::size_t i = 0; i < size; ++i) unit_start_[out_end_ + i] = i == 0;
  out_end_ += size;
  return true;
}

void NetworkStream::flushOut() {
  while (out_begin_ < out_end_ && !broken_) {
    std::size_t sent = 0;
    const IoStatus status = socket_->send(out_.data() + out_begin_, out_end_ - out_begin_, sent);
    if (status == IoStatus::kWouldBlock) return;
    if (status != IoStatus::kDone) {
      broken_ = true;
      return;
    }
    out_begin_ += sent;
  }
}

// Drops what has not gone out, except the rest of a unit already begun.
void NetworkStream::dropUnsent() {
  std::size_t keep = out_begin_;
  while (keep < out_end_ && !unit_start_[keep]) ++keep;
  out_end_ = keep;
}

void NetworkStream::clear() {
  dropUnsent();
  // What has arrived so far; bytes still on their way cannot be told apart from the reply to
  // come, as bytes still on a serial line cannot.
  for (int round = 0; round < kMaxClearRounds; ++round) {
    in_begin_ = in_end_ = 0;
    pump();
    if (in_end_ == 0) break;
    server_stale_ = true;
  }
  in_begin_ = in_end_ = 0;
  if (server_stale_) purgeServer(true, true);
}

// PURGE-DATA, where COM-PORT-OPTION is agreed and something may be left at the server: after a
// transaction that did not end with all its bytes, or stray bytes found here. Not after every
// transaction: the server's answer, sent just before the reply, would hold the reply back at the
// server until this side acknowledges that answer, which TCP delays by up to 40 ms. The answer is
// not waited for: the server purges before it handles the bytes that follow.
void NetworkStream::purgeServer(bool rx, bool tx) {
  if (!telnet_.comPortEnabled() || broken_) return;
  const std::uint8_t which = static_cast<std::uint8_t>((rx ? telnet::kPurgeReceived : 0) |
                                                       (tx ? telnet::kPurgeToSend : 0));
  std::uint8_t command[8];
  if (queue(command, telnet::encodeComPort(telnet::kPurgeData, &which, 1, command))) {
    server_stale_ = false;
  }
  flushOut();
}

// Waits for `done` to hold, reading and answering the server, for at most the negotiation
// time-out. False when the time runs out, the connection ends or `failed` holds first.
template <typename Done, typename Failed>
bool NetworkStream::awaitServer(Done done, Failed failed) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(negotiation_timeout_ms_);
  for (;;) {
    pump();
    if (failed() || broken_) return false;
    if (done()) return true;
    // Checked here, not only by the wait: a server sending telnet commands without pause keeps
    // the connection readable past any deadline. The wait still gives the connection a last
    // look, taken by the pump above.
    if (aborted_.load() || Clock::now() >= deadline) return false;
    waitFor(kSocketReadable, deadline);
  }
}

// BINARY both ways and COM-PORT-OPTION, offered at the open.
bool NetworkStream::negotiate() {
  return awaitServer([this] { return telnet_.agreed(); }, [this] { return telnet_.refused(); });
}

// Each answer must confirm the value asked for.
bool NetworkStream::sendLineSettings(std::uint32_t baud_rate) {
  std::uint8_t bytes[TelnetClient::kLineCommandsSize];
  std::size_t sizes[TelnetClient::kLineCommands];
  telnet_.setLine(baud_rate, bytes, sizes);
  std::size_t at = 0;
  for (const std::size_t size : sizes) {
    if (!queue(bytes + at, size)) return false;
    at += size;
  }
  flushOut();
  return awaitServer([this] { return telnet_.lineAnswered(); },
                     [this] { return telnet_.lineRefused(); });
}

}  // namespace varno
