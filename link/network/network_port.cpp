#include "network/network_port.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "network/socket.h"
#include "os/platform.h"
#include "protocol/gateway_protocol.h"

namespace varno {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRawScheme[] = "tcp://";
constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr char kGatewayScheme[] = "varno://";

bool startsWithNoCase(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (text.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Decimal digits only (no sign, no spaces), within [low, high].
bool parseNumber(const std::string& text, std::uint32_t low, std::uint32_t high,
                 std::uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  std::uint32_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (v < low || v > high) return false;
  value = v;
  return true;
}

bool isHostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool isIpv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

bool parseOptions(const std::string& text, NetworkPortName& parsed) {
  bool seen[3] = {false, false, false};
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find('&', start), text.size());
    const std::string option = text.substr(start, end - start);
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = option.substr(0, equals);
    const std::string value = option.substr(equals + 1);
    int index;
    std::uint32_t* target;
    std::uint32_t high = 600000;  // ten minutes
    if (key == "connect_timeout") {
      index = 0;
      target = &parsed.connect_timeout_ms;
    } else if (key == "negotiation_timeout" && parsed.protocol == NetworkProtocol::kRfc2217) {
      index = 1;
      target = &parsed.negotiation_timeout_ms;
    } else if (key == "inter_byte_timeout" && parsed.protocol != NetworkProtocol::kGateway) {
      index = 2;
      target = &parsed.inter_byte_timeout_ms;
      high = 60000;
    } else {
      return false;
    }
    if (seen[index] || !parseNumber(value, 1, high, *target)) return false;
    seen[index] = true;
    if (end == text.size()) return true;
    start = end + 1;
  }
}

std::uint32_t millisecondsUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: a wait that ends a little early would only look once more.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= static_cast<std::int64_t>(kInfinite) ? kInfinite - 1
                                                    : static_cast<std::uint32_t>(ms);
}

// A name lookup on a thread of its own, so that a resolver that does not answer cannot hold the
// open past its time-out. Whichever of the two lets go last frees it.
struct Lookup {
  std::atomic<int> references{2};
  std::string host;
  std::uint16_t port = 0;
  std::vector<SocketAddress> addresses;
  LookupResult result = LookupResult::kFailed;
};

void letGo(Lookup* lookup) {
  if (lookup->references.fetch_sub(1) == 1) delete lookup;
}

void lookUpMain(void* argument) {
  auto* lookup = static_cast<Lookup*>(argument);
  lookup->result = lookUpHost(lookup->host, lookup->port, false, lookup->addresses);
  letGo(lookup);
}

LookupResult lookUpInTime(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                          std::vector<SocketAddress>& addresses) {
  auto* lookup = new Lookup;
  lookup->host = host;
  lookup->port = port;
  WorkerThread thread;
  if (!thread.start(lookUpMain, lookup)) {
    delete lookup;
    return LookupResult::kFailed;
  }
  const bool ended = thread.waitForEnd(millisecondsUntil(deadline));
  // A lookup still under way finishes by itself and frees what it used.
  thread.release();
  LookupResult result = LookupResult::kNotFound;
  if (ended) {
    result = lookup->result;
    addresses = std::move(lookup->addresses);
  }
  letGo(lookup);
  return result;
}

constexpr std::size_t kInCapacity = 4096;
constexpr std::size_t kOutCapacity = 1024;
// A purge takes at most this many buffers' worth of what is waiting.
constexpr int kMaxPurgeRounds = 16;
// One look at the connection reads at most this many buffers' worth. Telnet commands decode to
// no data, so a server sending them without pause never fills the buffer: the callers' own loops,
// which keep their deadlines and see an abort, look again.
constexpr int kMaxPumpRounds = 4;
// Pauses before a session the server ended during the open is opened again: doubled each time.
constexpr std::uint32_t kFirstReopenPauseMs = 10;
constexpr std::uint32_t kMaxReopenPauseMs = 100;

class NetworkSerialPort final : public SerialPort {
 public:
  NetworkSerialPort() : socket_(makeSocket()) {}
  ~NetworkSerialPort() override { close(); }

  bool createEvents() override {
    std::lock_guard lock(io_);
    if (!socket_ || !socket_->createAbortEvent()) {
      failure_ = PortError::kResources;
      return false;
    }
    return true;
  }

  bool open(const std::string& name) override {
    std::lock_guard lock(io_);
    failure_ = PortError::kNone;
    if (closed_ || connected_ || !socket_) return false;
    if (!parseNetworkPortName(name, name_) || name_.protocol == NetworkProtocol::kGateway) {
      failure_ = PortError::kBadName;
      return false;
    }
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(name_.connect_timeout_ms);
    failure_ = connectWithin(*socket_, name_.host, name_.port, deadline, aborted_, &address_);
    if (failure_ != PortError::kNone) return false;
    connected_ = true;
    startSession();
    return true;
  }

  PortError failure() const override { return failure_; }

  bool purge(std::uint32_t flags) override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    if ((flags & kPurgeTxAbort) && write_pending_) server_stale_ = true;
    if ((flags & kPurgeRxAbort) && read_pending_) server_stale_ = true;
    if (flags & (kPurgeTxAbort | kPurgeTxClear)) write_size_ = write_taken_;
    if (flags & kPurgeTxAbort) finishWrite(false);
    if (flags & kPurgeRxAbort) finishRead(false);
    const bool tx = (flags & kPurgeTxClear) != 0;
    const bool rx = (flags & kPurgeRxClear) != 0;
    if (tx) dropUnsent();
    if (rx) {
      // What has arrived so far; bytes still on their way cannot be told apart from the reply
      // to come, as bytes still on a serial line cannot.
      for (int round = 0; round < kMaxPurgeRounds; ++round) {
        in_begin_ = in_end_ = 0;
        pump();
        if (in_end_ == 0) break;
        server_stale_ = true;
      }
      in_begin_ = in_end_ = 0;
    }
    if ((tx || rx) && server_stale_) purgeServer(rx, tx);
    return true;
  }

  // Nothing to read or set here: the server owns the line, and time-outs live in this object.
  bool saveEventMask() override { return usableLocked(); }
  bool saveLineSettings() override { return usableLocked(); }
  bool saveTimeouts() override { return usableLocked(); }
  bool setQueueSizes(std::uint32_t, std::uint32_t) override { return usableLocked(); }
  bool applyTimeouts() override { return usableLocked(); }
  bool applyEventMask() override { return usableLocked(); }
  bool clearErrors() override { return usableLocked(); }
  void restoreSettings() override {}

  bool applyLineSettings(const LineSettings& settings) override {
    std::lock_guard lock(io_);
    if (!usable() || settings.baud_rate == 0) return false;
    if (!telnet()) return true;  // raw: the server's settings are the line's
    // A server may end a session before the line is set: ser2net does, with a line of text, while
    // it is still giving the terminal back from the session before (for 10 to 20 ms after that
    // one's close), or while another client holds the line. Such a session is opened again,
    // within the negotiation time-out; one the server still ends then means the line is taken.
    const Clock::time_point give_up =
        Clock::now() + std::chrono::milliseconds(name_.negotiation_timeout_ms);
    std::uint32_t pause_ms = kFirstReopenPauseMs;
    while (!negotiate() || !setLine(settings.baud_rate)) {
      if (!broken_ || out_of_step_ || aborted_.load()) return false;
      if (Clock::now() + std::chrono::milliseconds(pause_ms) >= give_up) {
        failure_ = PortError::kInUse;
        return false;
      }
      sleepMilliseconds(pause_ms);
      pause_ms = std::min(2 * pause_ms, kMaxReopenPauseMs);
      if (!reconnect(give_up)) {
        failure_ = PortError::kNotFound;
        return false;
      }
    }
    // Whatever the server held from before this session.
    server_stale_ = true;
    purgeServer(true, true);
    return true;
  }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    write_data_ = data;
    write_size_ = size;
    write_taken_ = 0;
    write_pending_ = true;
    write_finished_ = false;
    write_ok_ = false;
    progressWrite();
    return true;
  }

  bool waitWrite(std::uint32_t timeout_ms) override {
    std::lock_guard lock(io_);
    std::optional<Clock::time_point> deadline;
    if (timeout_ms != kInfinite) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!write_finished_) {
      if (!usable() || !write_pending_) return false;
      if (waitFor(kSocketWritable, deadline) == 0) return false;  // aborted, or out of time
      progressWrite();
    }
    return true;
  }

  bool writeResult() override {
    std::lock_guard lock(io_);
    return write_finished_ && write_ok_;
  }

  bool startRead(std::uint8_t* buffer, std::size_t size) override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    read_buffer_ = buffer;
    read_size_ = size;
    read_got_ = 0;
    read_pending_ = true;
    read_finished_ = false;
    read_ok_ = false;
    pump();
    take();
    if (read_got_ == read_size_) finishRead(true);
    return true;
  }

  void waitRead() override {
    std::lock_guard lock(io_);
    while (!read_finished_) {
      if (!usable() || !read_pending_) return;
      if (read_got_ == read_size_) {
        finishRead(true);
        break;
      }
      if (broken_) {
        finishRead(false);  // the connection ended before the bytes came
        break;
      }
      // Until the first byte there is no limit (as on a serial port); after it, the read ends
      // once the inter-byte time passes without another.
      std::optional<Clock::time_point> deadline;
      if (read_got_ > 0) {
        deadline = last_byte_ + std::chrono::milliseconds(name_.inter_byte_timeout_ms);
        // Telnet commands without data keep the connection readable: the silence that ends the
        // read is the data's.
        if (Clock::now() >= *deadline) {
          if (aborted_.load()) return;
          const std::size_t before = read_got_;
          pump();  // one last look: this thread may have been held up past the deadline
          take();
          if (read_got_ == before) {
            finishRead(true);
            break;
          }
          continue;
        }
      }
      if (waitFor(kSocketReadable, deadline) == 0) {
        if (aborted_.load()) return;
        pump();  // one last look: this thread may have been held up past the deadline
        take();
        finishRead(true);  // the line fell silent: deliver what came
        break;
      }
      pump();
      take();
    }
  }

  bool readResult(std::size_t& bytes_read) override {
    std::lock_guard lock(io_);
    bytes_read = read_got_;
    return read_finished_ && read_ok_;
  }

  std::uint32_t inputCount() override {
    std::lock_guard lock(io_);
    if (!usable()) return 0;
    pump();
    if (in_end_ > in_begin_) return static_cast<std::uint32_t>(in_end_ - in_begin_);
    // A connection that has ended counts as input waiting: the read that follows then reports
    // the failure at once, instead of the wait for a reply running out.
    return broken_ ? 1 : 0;
  }

  void awaitInput(std::uint32_t max_ms) override {
    std::lock_guard lock(io_);
    if (!usable() || max_ms == 0 || in_end_ > in_begin_ || broken_) return;
    waitFor(kSocketReadable, Clock::now() + std::chrono::milliseconds(max_ms));
  }

  void cancelIo() override {
    std::lock_guard lock(io_);
    if (!usable()) return;
    write_size_ = write_taken_;
    finishWrite(false);
    finishRead(false);
    server_stale_ = true;  // a transaction that failed may leave its bytes at the server
  }

  void abortWaits() override {
    aborted_.store(true);
    if (socket_) socket_->abort();  // lock-free
  }

  void close() override {
    std::lock_guard lock(io_);
    if (closed_) return;
    closed_ = true;
    connected_ = false;
    if (socket_) socket_->close();
  }

 private:
  bool telnet() const { return name_.protocol == NetworkProtocol::kRfc2217; }
  bool usable() const { return !closed_ && connected_; }
  bool usableLocked() {
    std::lock_guard lock(io_);
    return usable();
  }

  // A new connection's first steps: nothing carried over from an earlier one, and the offers out.
  void startSession() {
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
  bool reconnect(Clock::time_point deadline) {
    deadline =
        std::min(deadline, Clock::now() + std::chrono::milliseconds(name_.connect_timeout_ms));
    if (!connect(address_, deadline)) return false;
    startSession();
    return true;
  }

  bool connect(const SocketAddress& address, Clock::time_point deadline) {
    return connectTo(*socket_, address, deadline, aborted_);
  }

  unsigned waitFor(unsigned want, std::optional<Clock::time_point> deadline) {
    return waitForSocket(*socket_, want, deadline, aborted_);
  }

  // Takes what the connection has delivered, as far as there is room and kMaxPumpRounds allow,
  // and answers the telnet negotiations in it.
  void pump() {
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

  // Hands what is waiting to the read under way.
  void take() {
    if (!read_pending_) return;
    const std::size_t n = std::min(in_end_ - in_begin_, read_size_ - read_got_);
    if (n == 0) return;
    std::memcpy(read_buffer_ + read_got_, in_.data() + in_begin_, n);
    in_begin_ += n;
    read_got_ += n;
    last_byte_ = Clock::now();
  }

  // Appends one unit (a data byte as sent, or a whole command) to what goes out: units are never
  // cut when output is dropped, so the server's telnet parser never loses its step. False when
  // there is no room (a server that has stopped reading).
  bool queue(const std::uint8_t* bytes, std::size_t size) {
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

  void flushOut() {
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
  void dropUnsent() {
    std::size_t keep = out_begin_;
    while (keep < out_end_ && !unit_start_[keep]) ++keep;
    out_end_ = keep;
  }

  // Moves the write on as far as the connection takes it, and ends it when it is all out.
  void progressWrite() {
    if (!write_pending_) return;
    while (write_taken_ < write_size_) {
      std::uint8_t unit[2];
      const std::uint8_t byte = write_data_[write_taken_];
      std::size_t size = 1;
      if (telnet()) {
        size = telnet::encodeData(byte, unit);
      } else {
        unit[0] = byte;
      }
      if (!queue(unit, size)) break;
      ++write_taken_;
    }
    flushOut();
    if (broken_) {
      finishWrite(false);
    } else if (write_taken_ == write_size_ && out_begin_ == out_end_) {
      finishWrite(true);
    }
  }

  void finishWrite(bool ok) {
    if (!write_pending_) return;
    write_pending_ = false;
    write_finished_ = true;
    write_ok_ = ok;
  }

  void finishRead(bool ok) {
    if (!read_pending_) return;
    if (read_got_ < read_size_) server_stale_ = true;  // the rest may still come
    read_pending_ = false;
    read_finished_ = true;
    read_ok_ = ok;
  }

  // PURGE-DATA, where COM-PORT-OPTION is agreed and something may be left at the server: after
  // a transaction that did not end with all its bytes, or stray bytes found here. Not after every
  // transaction: the server's answer, sent just before the reply, would hold the reply back at the
  // server until this side acknowledges that answer, which TCP delays by up to 40 ms. The answer
  // is not waited for: the server purges before it handles the bytes that follow.
  void purgeServer(bool rx, bool tx) {
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
  bool awaitServer(Done done, Failed failed) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(name_.negotiation_timeout_ms);
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
  bool negotiate() {
    return awaitServer([this] { return telnet_.agreed(); }, [this] { return telnet_.refused(); });
  }

  // The line as the exported open sets a local one: the rate asked for, 8N1, no flow control,
  // DTR off. Each answer must confirm the value asked for. DTR goes first, and its answer is not
  // waited for: a server whose line has no modem lines does not answer it (ser2net serving a
  // terminal), and the answers to the commands after it show it has been dealt with.
  bool setLine(std::uint32_t baud_rate) {
    telnet_.answers = {};
    const std::uint8_t dtr_off = telnet::kControlDtrOff;
    const std::uint8_t no_flow = telnet::kControlNoFlowControl;
    const std::uint8_t rate[4] = {
        static_cast<std::uint8_t>(baud_rate >> 24), static_cast<std::uint8_t>(baud_rate >> 16),
        static_cast<std::uint8_t>(baud_rate >> 8), static_cast<std::uint8_t>(baud_rate)};
    const std::uint8_t data_size = 8;
    const std::uint8_t parity = telnet::kParityNone;
    const std::uint8_t stop_size = telnet::kStopBitsOne;
    struct Command {
      std::uint8_t code;
      const std::uint8_t* value;
      std::size_t size;
    };
    const Command commands[] = {
        {telnet::kSetControl, &dtr_off, 1}, {telnet::kSetControl, &no_flow, 1},
        {telnet::kSetBaudRate, rate, 4},    {telnet::kSetDataSize, &data_size, 1},
        {telnet::kSetParity, &parity, 1},   {telnet::kSetStopSize, &stop_size, 1},
    };
    for (const Command& c : commands) {
      std::uint8_t bytes[16];
      if (!queue(bytes, telnet::encodeComPort(c.code, c.value, c.size, bytes))) return false;
    }
    flushOut();
    const TelnetClient::Answers& a = telnet_.answers;
    return awaitServer(
        [&a] {
          return a.baud_rate >= 0 && a.data_size >= 0 && a.parity >= 0 && a.stop_size >= 0 &&
                 a.flow_control >= 0;
        },
        [&] {
          return telnet_.refused() || (a.baud_rate >= 0 && a.baud_rate != baud_rate) ||
                 (a.data_size >= 0 && a.data_size != data_size) ||
                 (a.parity >= 0 && a.parity != parity) ||
                 (a.stop_size >= 0 && a.stop_size != stop_size) ||
                 (a.flow_control >= 0 && a.flow_control != no_flow) ||
                 a.dtr == telnet::kControlDtrOn;
        });
  }

  // Set once in the constructor; abortWaits reaches it without the lock.
  const std::unique_ptr<Socket> socket_;
  std::mutex io_;  // every operation, waits included (an abort ends those at once)
  std::atomic<bool> aborted_{false};
  bool connected_ = false;
  bool closed_ = false;
  bool broken_ = false;        // the connection has ended or failed
  bool out_of_step_ = false;   // failed because the server's telnet could not be followed
  bool server_stale_ = false;  // the server may hold bytes of an earlier transaction
  PortError failure_ = PortError::kNone;
  NetworkPortName name_;
  SocketAddress address_;  // the one connected to

  telnet::Decoder decoder_;
  TelnetClient telnet_;

  std::array<std::uint8_t, kInCapacity> received_{};
  std::array<std::uint8_t, kInCapacity> in_{};  // received data, not yet read
  std::size_t in_begin_ = 0;
  std::size_t in_end_ = 0;
  std::array<std::uint8_t, kOutCapacity> out_{};  // to send
  std::array<bool, kOutCapacity> unit_start_{};
  std::size_t out_begin_ = 0;
  std::size_t out_end_ = 0;

  const std::uint8_t* write_data_ = nullptr;
  std::size_t write_size_ = 0;
  std::size_t write_taken_ = 0;  // bytes of the write queued (and so as good as sent)
  bool write_pending_ = false;
  bool write_finished_ = false;
  bool write_ok_ = false;

  std::uint8_t* read_buffer_ = nullptr;
  std::size_t read_size_ = 0;
  std::size_t read_got_ = 0;
  Clock::time_point last_byte_{};
  bool read_pending_ = false;
  bool read_finished_ = false;
  bool read_ok_ = false;
};

}  // namespace

unsigned waitForSocket(Socket& socket, unsigned want, std::optional<Clock::time_point> deadline,
                       const std::atomic<bool>& aborted) {
  for (;;) {
    if (aborted.load()) return 0;
    std::uint32_t timeout = kInfinite;
    bool last_look = false;
    if (deadline) {
      timeout = millisecondsUntil(*deadline);
      last_look = timeout == 0;
    }
    const unsigned found = socket.wait(want, timeout);
    if (found & kSocketAborted) return 0;
    if (found & want) return found & want;
    if (last_look) return 0;
  }
}

bool connectTo(Socket& socket, const SocketAddress& address, Clock::time_point deadline,
               const std::atomic<bool>& aborted) {
  const IoStatus status = socket.startConnect(address);
  if (status == IoStatus::kDone) return true;
  return status == IoStatus::kWouldBlock &&
         waitForSocket(socket, kSocketWritable, deadline, aborted) != 0 && socket.connectResult();
}

PortError connectWithin(Socket& socket, const std::string& host, std::uint16_t port,
                        Clock::time_point deadline, const std::atomic<bool>& aborted,
                        SocketAddress* connected) {
  std::vector<SocketAddress> addresses;
  LookupResult found = lookUpHost(host, port, true, addresses);
  if (found == LookupResult::kNotFound) found = lookUpInTime(host, port, deadline, addresses);
  if (found != LookupResult::kFound) {
    return found == LookupResult::kFailed ? PortError::kResources : PortError::kNotFound;
  }
  // Every address the name has, in turn ("localhost" may be ::1 first, with the server on
  // 127.0.0.1 only), within the one time-out.
  for (const SocketAddress& address : addresses) {
    if (connectTo(socket, address, deadline, aborted)) {
      if (connected != nullptr) *connected = address;
      return PortError::kNone;
    }
    if (aborted.load() || Clock::now() >= deadline) break;
  }
  socket.close();
  return PortError::kNotFound;
}

bool isNetworkPortName(const std::string& name) {
  return startsWithNoCase(name, kRawScheme) || startsWithNoCase(name, kRfc2217Scheme);
}

bool isGatewayPortName(const std::string& name) {
  return startsWithNoCase(name, kGatewayScheme);
}

bool parseNetworkPortName(const std::string& name, NetworkPortName& parsed) {
  if (name.size() > kMaxNetworkPortName) return false;
  NetworkPortName p;
  std::size_t pos;
  if (startsWithNoCase(name, kRawScheme)) {
    p.protocol = NetworkProtocol::kRaw;
    pos = sizeof kRawScheme - 1;
  } else if (startsWithNoCase(name, kRfc2217Scheme)) {
    p.protocol = NetworkProtocol::kRfc2217;
    pos = sizeof kRfc2217Scheme - 1;
  } else if (startsWithNoCase(name, kGatewayScheme)) {
    p.protocol = NetworkProtocol::kGateway;
    pos = sizeof kGatewayScheme - 1;
  } else {
    return false;
  }

  if (pos < name.size() && name[pos] == '[') {
    const std::size_t close = name.find(']', pos);
    if (close == std::string::npos) return false;
    p.host = name.substr(pos + 1, close - pos - 1);
    if (p.host.find(':') == std::string::npos ||
        !std::all_of(p.host.begin(), p.host.end(), isIpv6Char)) {
      return false;
    }
    pos = close + 1;
  } else {
    const std::size_t end = std::min(name.find(':', pos), name.size());
    p.host = name.substr(pos, end - pos);
    if (!std::all_of(p.host.begin(), p.host.end(), isHostNameChar)) return false;
    pos = end;
  }
  if (p.host.empty() || p.host.size() > kMaxHostName) return false;

  if (pos >= name.size() || name[pos] != ':') return false;
  ++pos;
  const std::size_t options = std::min(name.find('?', pos), name.size());
  const bool gateway = p.protocol == NetworkProtocol::kGateway;
  const std::size_t port_end = gateway ? std::min(name.find('/', pos), options) : options;
  std::uint32_t port = 0;
  if (!parseNumber(name.substr(pos, port_end - pos), 1, 65535, port)) return false;
  p.port = static_cast<std::uint16_t>(port);
  if (gateway) {
    if (port_end == options) return false;  // no bus
    p.bus = name.substr(port_end + 1, options - port_end - 1);
    if (!gateway::validBusName(p.bus)) return false;
  }
  if (options < name.size() && !parseOptions(name.substr(options + 1), p)) return false;
  parsed = p;
  return true;
}

std::unique_ptr<SerialPort> makeNetworkSerialPort() {
  return std::make_unique<NetworkSerialPort>();
}

std::unique_ptr<SerialPort> makePortFor(const std::string& name) {
  return isNetworkPortName(name) ? makeNetworkSerialPort() : makeSystemSerialPort();
}

std::size_t TelnetClient::offers(std::uint8_t* out) {
  std::size_t n = 0;
  n += telnet::encodeNegotiation(telnet::kWill, telnet::kBinary, out + n);
  us_[kBinaryIndex].pending = true;
  n += telnet::encodeNegotiation(telnet::kDo, telnet::kBinary, out + n);
  him_[kBinaryIndex].pending = true;
  n += telnet::encodeNegotiation(telnet::kWill, telnet::kComPort, out + n);
  us_[kComPortIndex].pending = true;
  return n;
}

int TelnetClient::indexOf(std::uint8_t option) {
  if (option == telnet::kBinary) return kBinaryIndex;
  if (option == telnet::kComPort) return kComPortIndex;
  return -1;
}

void TelnetClient::reply(std::uint8_t verb, std::uint8_t option) {
  if (reply_size_ + 3 > replies_.size()) return;  // a flood of requests: the rest go unanswered
  reply_size_ += telnet::encodeNegotiation(verb, option, replies_.data() + reply_size_);
}

bool TelnetClient::firstRefusal(std::array<std::uint8_t, 32>& sent, std::uint8_t option) {
  const std::uint8_t bit = static_cast<std::uint8_t>(1u << (option % 8));
  if (sent[option / 8] & bit) return false;
  sent[option / 8] |= bit;
  return true;
}

void TelnetClient::negotiation(std::uint8_t verb, std::uint8_t option) {
  const int i = indexOf(option);
  switch (verb) {
    case telnet::kDo:
      if (i < 0) {
        if (firstRefusal(wont_sent_, option)) reply(telnet::kWont, option);
        return;
      }
      // A request this side made is answered, or the server asks first: either way agreed,
      // and only a request that was not this side's own is answered.
      if (!us_[i].enabled && !us_[i].pending) reply(telnet::kWill, option);
      us_[i] = {true, false};
      return;
    case telnet::kDont:
      if (i < 0) return;
      if (us_[i].enabled || us_[i].pending) refused_ = true;
      if (us_[i].enabled) reply(telnet::kWont, option);
      us_[i] = {};
      return;
    case telnet::kWill:
      if (i != kBinaryIndex) {
        if (firstRefusal(dont_sent_, option)) reply(telnet::kDont, option);
        return;
      }
      if (!him_[i].enabled && !him_[i].pending) reply(telnet::kDo, option);
      him_[i] = {true, false};
      return;
    case telnet::kWont:
      if (i != kBinaryIndex) return;
      if (him_[i].enabled || him_[i].pending) refused_ = true;
      if (him_[i].enabled) reply(telnet::kDont, option);
      him_[i] = {};
      return;
    default:
      return;
  }
}

void TelnetClient::subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) {
  if (cut || size < 2 || payload[0] != telnet::kComPort) return;
  const std::uint8_t* value = payload + 2;
  const std::size_t value_size = size - 2;
  const auto answer = [&](std::uint8_t command) {
    return payload[1] == telnet::kServerOffset + command;
  };
  if (answer(telnet::kSetBaudRate) && value_size == 4) {
    answers.baud_rate = (std::int64_t{value[0]} << 24) | (std::int64_t{value[1]} << 16) |
                        (std::int64_t{value[2]} << 8) | std::int64_t{value[3]};
  } else if (value_size != 1) {
    return;  // NOTIFY-LINESTATE and -MODEMSTATE included: nothing this link watches
  } else if (answer(telnet::kSetDataSize)) {
    answers.data_size = value[0];
  } else if (answer(telnet::kSetParity)) {
    answers.parity = value[0];
  } else if (answer(telnet::kSetStopSize)) {
    answers.stop_size = value[0];
  } else if (answer(telnet::kSetControl)) {
    const int v = value[0];
    if (v == telnet::kControlDtrOn || v == telnet::kControlDtrOff) {
      answers.dtr = v;
    } else if ((v >= 1 && v <= 3) || (v >= 17 && v <= 19)) {  // the outbound flow control
      answers.flow_control = v;
    }
  }
}

bool TelnetClient::agreed() const {
  return us_[kBinaryIndex].enabled && him_[kBinaryIndex].enabled && us_[kComPortIndex].enabled;
}

}  // namespace varno
