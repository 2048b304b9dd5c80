#include "network/network_port.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

#include "network/network_stream.h"

namespace varno {
namespace {

using Clock = std::chrono::steady_clock;

class NetworkSerialPort final : public SerialPort {
 public:
  ~NetworkSerialPort() override { close(); }

  OpenStatus open(const std::string& name, const PortSettings& settings) override {
    std::lock_guard lock(io_);
    if (!stream_.createAbortEvent()) {
      return fail(OpenStatus::failure(OpenStep::kCreateEvents, PortError::kResources));
    }
    if (closed_ || connected_) return fail(OpenStatus::failure(OpenStep::kOpenDevice));
    if (!parseNetworkPortName(name, name_) || name_.protocol == NetworkProtocol::kGateway) {
      return fail(OpenStatus::failure(OpenStep::kOpenDevice, PortError::kBadName));
    }
    const PortError connect_error = stream_.connect(name_);
    if (connect_error != PortError::kNone) {
      return fail(OpenStatus::failure(OpenStep::kOpenDevice, connect_error));
    }
    connected_ = true;
    inter_byte_ = std::chrono::milliseconds(settings.inter_byte_ms);
    // Whatever the server sent before this side asked for anything.
    discardLocked();
    // Raw: the server's settings are the line's.
    PortError line_error = PortError::kNone;
    if (settings.baud_rate == 0 || (name_.protocol == NetworkProtocol::kRfc2217 &&
                                    !stream_.setLine(settings.baud_rate, line_error))) {
      return fail(OpenStatus::failure(OpenStep::kApplyLineSettings, line_error));
    }
    return {};
  }

  bool discard() override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    discardLocked();
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

  WaitResult finishWrite(std::uint32_t timeout_ms) override {
    std::lock_guard lock(io_);
    std::optional<Clock::time_point> deadline;
    if (timeout_ms != kInfinite) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!write_finished_) {
      if (!usable() || !write_pending_) return WaitResult::kFailed;
      if (stream_.waitFor(kSocketWritable, deadline) == 0) {
        return stream_.aborted() ? WaitResult::kAborted : WaitResult::kTimedOut;
      }
      progressWrite();
    }
    return write_ok_ ? WaitResult::kDone : WaitResult::kFailed;
  }

  WaitResult awaitInput(std::uint32_t timeout_ms) override {
    std::lock_guard lock(io_);
    if (!usable()) return WaitResult::kFailed;
    std::optional<Clock::time_point> deadline;
    if (timeout_ms != kInfinite) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      // Every round looks at the connection first, the one after the deadline included.
      stream_.pump();
      if (stream_.available() > 0) return WaitResult::kDone;
      if (stream_.broken()) return WaitResult::kFailed;
      if (stream_.aborted()) return WaitResult::kAborted;
      if (deadline && Clock::now() >= *deadline) return WaitResult::kTimedOut;
      stream_.waitFor(kSocketReadable, deadline);
    }
  }

  bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    std::lock_guard lock(io_);
    received = 0;
    if (!usable()) return false;
    read_buffer_ = buffer;
    read_size_ = size;
    read_got_ = 0;
    read_pending_ = true;
    read_ok_ = false;
    stream_.pump();
    take();
    if (read_got_ == read_size_) endRead(true);
    awaitRead();
    // An aborted read ends here, as failed.
    endRead(false);
    received = read_got_;
    return read_ok_;
  }

  void cancel() override {
    std::lock_guard lock(io_);
    if (!usable()) return;
    write_size_ = write_taken_;
    endWrite(false);
    endRead(false);
    stream_.markStale();  // a transaction that failed may leave its bytes at the server
  }

  void abort() override { stream_.abort(); }

  void close() override {
    std::lock_guard lock(io_);
    if (closed_) return;
    if (usable()) discardLocked();
    closed_ = true;
    connected_ = false;
    stream_.close();
  }

 private:
  bool usable() const { return !closed_ && connected_; }

  // A failed open releases what it took; the port is not opened again.
  OpenStatus fail(OpenStatus status) {
    closed_ = true;
    connected_ = false;
    stream_.close();
    return status;
  }

  // Abandons what is under way and empties both ways.
  void discardLocked() {
    if (write_pending_ || read_pending_) stream_.markStale();
    write_size_ = write_taken_;
    endWrite(false);
    endRead(false);
    stream_.clear();
  }

  // Until the first byte there is no limit (as on a serial port); after it, the read ends once
  // the inter-byte time passes without another.
  void awaitRead() {
    while (read_pending_) {
      if (!usable()) return;
      if (read_got_ == read_size_) return endRead(true);
      if (stream_.broken()) return endRead(false);  // the connection ended before the bytes came
      std::optional<Clock::time_point> deadline;
      if (read_got_ > 0) {
        deadline = last_byte_ + inter_byte_;
        // Telnet commands without data keep the connection readable: the silence that ends the
        // read is the data's.
        if (Clock::now() >= *deadline) {
          if (stream_.aborted()) return;
          const std::size_t before = read_got_;
          stream_.pump();  // one last look: this thread may have been held up past the deadline
          take();
          if (read_got_ == before) return endRead(true);
          continue;
        }
      }
      if (stream_.waitFor(kSocketReadable, deadline) == 0) {
        if (stream_.aborted()) return;
        stream_.pump();  // one last look: this thread may have been held up past the deadline
        take();
        return endRead(true);  // the line fell silent: deliver what came
      }
      stream_.pump();
      take();
    }
  }

  // Hands what is waiting to the read under way.
  void take() {
    if (!read_pending_) return;
    const std::size_t n = stream_.take(read_buffer_ + read_got_, read_size_ - read_got_);
    if (n == 0) return;
    read_got_ += n;
    last_byte_ = Clock::now();
  }

  // Moves the write on as far as the connection takes it, and ends it when it is all out.
  void progressWrite() {
    if (!write_pending_) return;
    while (write_taken_ < write_size_ && stream_.queueData(write_data_[write_taken_])) {
      ++write_taken_;
    }
    stream_.flushOut();
    if (stream_.broken()) {
      endWrite(false);
    } else if (write_taken_ == write_size_ && stream_.allSent()) {
      endWrite(true);
    }
  }

  void endWrite(bool ok) {
    if (!write_pending_) return;
    write_pending_ = false;
    write_finished_ = true;
    write_ok_ = ok;
  }

  void endRead(bool ok) {
    if (!read_pending_) return;
    if (read_got_ < read_size_) stream_.markStale();  // the rest may still come
    read_pending_ = false;
    read_ok_ = ok;
  }

  std::mutex io_;  // every operation, waits included (an abort ends those at once)
  NetworkStream stream_;
  bool connected_ = false;
  bool closed_ = false;
  NetworkPortName name_;
  std::chrono::milliseconds inter_byte_{kInterByteTimeoutMs};

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
  bool read_ok_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> makeNetworkPort() {
  return std::make_unique<NetworkSerialPort>();
}

}  // namespace varno
