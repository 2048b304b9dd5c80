#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace varno::sim {
namespace {

constexpr std::size_t kReadChunk = 512;

// A client that stopped reading must not keep a vanishing device on the line for long.
constexpr auto kHangUpDrainLimit = std::chrono::milliseconds(500);

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += cell;
  }
  return out;
}

void makeRaw(int fd, const char* what) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) throw std::system_error(errno, std::system_category(), what);
  cfmakeraw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    throw std::system_error(errno, std::system_category(), what);
  }
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Simulator::Simulator(std::uint32_t pace_baud) : pace_baud_(pace_baud) {
  try {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) throw std::system_error(errno, std::system_category(), "posix_openpt");
    if (grantpt(master_fd_) != 0) throw std::system_error(errno, std::system_category(), "grantpt");
    if (unlockpt(master_fd_) != 0) {
      throw std::system_error(errno, std::system_category(), "unlockpt");
    }
    char name[128];
    if (const int err = ptsname_r(master_fd_, name, sizeof name); err != 0) {
      throw std::system_error(err, std::system_category(), "ptsname_r");
    }
    path_ = name;
    terminal_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_fd_ < 0) throw std::system_error(errno, std::system_category(), path_);
    // Raw from the start: a fresh terminal echoes, and anything written before the client has
    // configured it would otherwise come straight back to the simulator as a command.
    makeRaw(master_fd_, "tcsetattr (master)");
    makeRaw(terminal_fd_, "tcsetattr (terminal)");

    const int flags = fcntl(master_fd_, F_GETFL);
    if (flags < 0 || fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::system_category(), "fcntl");
    }
    int wake_fds[2];
    if (pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::system_category(), "pipe2");
    }
    wake_read_fd_ = wake_fds[0];
    wake_write_fd_ = wake_fds[1];
    thread_ = std::thread(&Simulator::serve, this);
  } catch (...) {
    closeFd(wake_read_fd_);
    closeFd(wake_write_fd_);
    closeFd(terminal_fd_);
    closeFd(master_fd_);
    throw;
  }
}

Simulator::~Simulator() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  wake();
  thread_.join();
  closeFd(terminal_fd_);
  closeFd(master_fd_);
  closeFd(wake_read_fd_);
  closeFd(wake_write_fd_);
  int tap = tap_fd_.exchange(-1);
  closeFd(tap);
  closeFd(tap_terminal_fd_);
}

const std::string& Simulator::openTap() {
  if (tap_fd_.load() >= 0) throw std::logic_error("the tap is open already");
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  try {
    if (master < 0) throw std::system_error(errno, std::system_category(), "posix_openpt (tap)");
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
      throw std::system_error(errno, std::system_category(), "unlockpt (tap)");
    }
    char name[128];
    if (const int err = ptsname_r(master, name, sizeof name); err != 0) {
      throw std::system_error(err, std::system_category(), "ptsname_r (tap)");
    }
    tap_terminal_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tap_terminal_fd_ < 0) throw std::system_error(errno, std::system_category(), name);
    makeRaw(master, "tcsetattr (tap master)");
    makeRaw(tap_terminal_fd_, "tcsetattr (tap terminal)");
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::system_category(), "fcntl (tap)");
    }
    tap_path_ = name;
  } catch (...) {
    closeFd(tap_terminal_fd_);
    closeFd(master);
    throw;
  }
  tap_fd_.store(master);
  return tap_path_;
}

void Simulator::mirror(const std::uint8_t* bytes, std::size_t count) {
  const int fd = tap_fd_.load();
  if (fd < 0 || count == 0) return;
  // Non-blocking: what the tap's reader has not made room for is lost to the tap alone.
  [[maybe_unused]] const ssize_t ignored = ::write(fd, bytes, count);
}

void Simulator::setDevice(std::uint8_t address, DeviceBehaviour behaviour) {
  if (address > 0x7F) throw std::invalid_argument("device address out of range 0..127");
  std::lock_guard lock(mutex_);
  devices_[address] = std::move(behaviour);
}

void Simulator::removeDevice(std::uint8_t address) {
  std::lock_guard lock(mutex_);
  devices_.erase(address);
}

void Simulator::setPacing(std::uint32_t baud) {
  pace_baud_.store(baud);
}

std::vector<std::uint8_t> Simulator::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<varno::Frame> Simulator::receivedFrames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

bool Simulator::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

std::size_t Simulator::answersStarted() const {
  std::lock_guard lock(mutex_);
  return answers_started_;
}

std::vector<AnswerRecord> Simulator::answers() const {
  std::lock_guard lock(mutex_);
  return answers_;
}

bool Simulator::waitUntilIdle(std::size_t frames, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return (frames_.size() >= frames && frames_in_hand_ == 0) || hung_up_ || stop_;
  });
}

void Simulator::clearLog() {
  std::lock_guard lock(mutex_);
  received_.clear();
  frames_.clear();
  answers_started_ = 0;
  answers_.clear();
}

void Simulator::send(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return;
  std::unique_lock lock(mutex_);
  if (hung_up_ || stop_) return;
  outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end());
  sends_queued_ += bytes.size();
  const std::uint64_t target = sends_queued_;
  wake();
  changed_.wait(lock, [&] { return sends_written_ >= target || hung_up_ || stop_; });
}

void Simulator::hangUp() {
  std::unique_lock lock(mutex_);
  if (hung_up_) return;
  hang_up_requested_ = true;
  wake();
  changed_.wait(lock, [&] { return hung_up_ || stop_; });
}

bool Simulator::hungUp() const {
  std::lock_guard lock(mutex_);
  return hung_up_;
}

std::optional<Simulator::Clock::time_point> Simulator::hungUpAt() const {
  std::lock_guard lock(mutex_);
  return hung_up_at_;
}

void Simulator::setTrace(std::function<void(const std::string&)> trace) {
  std::lock_guard lock(mutex_);
  trace_ = std::move(trace);
}

void Simulator::serve() {
  std::uint8_t buffer[kReadChunk];
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    if (interrupted()) continue;
    if (!flushSends()) continue;

    pollfd fds[2] = {{wake_read_fd_, POLLIN, 0}, {master_fd_, POLLIN, 0}};
    const nfds_t count = master_fd_ >= 0 ? 2 : 1;
    if (poll(fds, count, -1) < 0) continue;  // EINTR: look at everything again
    if (fds[0].revents != 0) drainWake();
    if (count < 2 || fds[1].revents == 0) continue;

    const ssize_t got = ::read(master_fd_, buffer, sizeof buffer);
    if (got > 0) {
      mirror(buffer, static_cast<std::size_t>(got));
      process(buffer, static_cast<std::size_t>(got), Clock::now());
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      // Cannot happen while the simulator holds the terminal end open; if it does, the line is
      // unusable, and polling it again would only spin.
      closeLine();
    }
  }
}

void Simulator::process(const std::uint8_t* bytes, std::size_t count, Clock::time_point arrival) {
  std::vector<std::pair<varno::Frame, Clock::time_point>> complete;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if (byte & varno::kStartMark) {
      partial_.clear();  // a start mark always begins a frame, whatever came before it
      partial_arrival_ = arrival;
    } else if (partial_.empty()) {
      continue;  // noise between frames
    }
    partial_.push_back(byte);
    if (partial_.size() == varno::kFrameSize) {
      varno::Frame frame;
      std::copy(partial_.begin(), partial_.end(), frame.begin());
      complete.emplace_back(frame, partial_arrival_);
      partial_.clear();
    }
  }
  {
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), bytes, bytes + count);
    for (const auto& entry : complete) frames_.push_back(entry.first);
    frames_in_hand_ += complete.size();
  }
  changed_.notify_all();

  const auto dealt_with = [this](std::size_t count) {
    {
      std::lock_guard lock(mutex_);
      frames_in_hand_ -= std::min(frames_in_hand_, count);
    }
    changed_.notify_all();
  };
  for (std::size_t i = 0; i < complete.size(); ++i) {
    const auto& [frame, frame_arrival] = complete[i];
    const std::string shown = "rx " + hex(frame.data(), frame.size());
    varno::CommandRecord command;
    if (!varno::decodeFrame(frame.data(), command)) {
      trace(shown + "  (invalid, ignored)");
      dealt_with(1);
      continue;
    }
    const std::uint8_t address = command.dest & 0x7F;
    std::optional<DeviceBehaviour> behaviour;
    {
      std::lock_guard lock(mutex_);
      if (const auto it = devices_.find(address); it != devices_.end()) {
        // A device with a value that can be changed: it keeps the last word written to it.
        const bool writes =
            command.data_arr[0] | command.data_arr[1] | command.data_arr[2] | command.data_arr[3];
        if (it->second.store && writes) {
          it->second.data = std::array<std::uint8_t, 4>{command.data_arr[0], command.data_arr[1],
                                                        command.data_arr[2], command.data_arr[3]};
        }
        behaviour = it->second;
      }
    }
    if (!behaviour) {
      trace(shown + "  (no device at " + std::to_string(address) + ")");
      dealt_with(1);
      continue;
    }
    trace(shown + "  (for device " + std::to_string(address) + ")");
    if (!answer(command, *behaviour, frame, frame_arrival)) {
      // Stopped or hung up: nothing after this frame will be answered either.
      dealt_with(complete.size() - i);
      return;
    }
    dealt_with(1);
  }
}

bool Simulator::answer(const varno::CommandRecord& command, const DeviceBehaviour& behaviour,
                       const varno::Frame& command_frame, Clock::time_point arrival) {
  const std::uint8_t address = command.dest & 0x7F;
  if (behaviour.silent) {
    trace("device " + std::to_string(address) + " stays silent");
    return true;
  }

  std::vector<std::uint8_t> bytes;
  if (behaviour.raw_reply) {
    bytes = *behaviour.raw_reply;
  } else {
    varno::CommandRecord reply = command;
    reply.dest = behaviour.reply_dest.value_or(command.source);
    reply.source = address;
    reply.status = behaviour.status;
    reply.error = behaviour.error;
    if (behaviour.data) std::copy(behaviour.data->begin(), behaviour.data->end(), reply.data_arr);
    varno::Frame frame;
    varno::encodeFrame(reply, frame.data());
    if (behaviour.corrupt_crc) {
      auto& crc = frame[varno::kFrameSize - 1];
      crc = static_cast<std::uint8_t>((crc + 1) & 0x7F);
    }
    bytes.assign(frame.begin(), frame.begin() + std::min(behaviour.truncate_to, frame.size()));
  }
  if (behaviour.hang_up_after) bytes.resize(std::min(bytes.size(), *behaviour.hang_up_after));

  // The command itself occupies the wire for a frame's worth of byte times.
  const Clock::time_point due =
      arrival + byteTime() * varno::kFrameSize + std::chrono::milliseconds(behaviour.delay_ms);
  for (;;) {
    const Wake woke = sleepUntil(due, true);
    if (woke == Wake::kStop) return false;
    if (woke == Wake::kDeadline) break;
    if (!flushSends()) return false;
  }
  {
    std::lock_guard lock(mutex_);
    ++answers_started_;
    AnswerRecord record;
    record.device = address;
    record.command = command_frame;
    record.command_read = arrival;
    record.bytes = bytes;
    answers_.push_back(std::move(record));
  }
  trace("device " + std::to_string(address) + " answers " + hex(bytes.data(), bytes.size()) +
        (behaviour.hang_up_after ? "  then hangs up" : ""));

  std::size_t sent = 0;
  Clock::time_point earliest = due;
  auto piece = behaviour.pieces.begin();
  while (sent < bytes.size()) {
    std::size_t size = bytes.size() - sent;
    if (piece != behaviour.pieces.end()) {
      size = std::min(size, *piece++);
      if (size == 0) continue;
    }
    if (sent > 0) earliest = line_free_at_ + std::chrono::milliseconds(behaviour.gap_ms);
    if (!transmit(bytes.data() + sent, size, earliest, true, true)) return false;
    sent += size;
  }

  if (behaviour.hang_up_after) {
    if (!waitForClientToRead()) return false;
    closeLine();
    return false;
  }
  return true;
}

bool Simulator::transmit(const std::uint8_t* bytes, std::size_t count, Clock::time_point earliest,
                         bool serve_sends, bool answer_bytes) {
  for (std::size_t i = 0; i < count;) {
    const Clock::duration byte_time = byteTime();
    // Paced, a byte is handed over when its stop bit would have arrived; unpaced, everything due
    // goes in one write.
    const Clock::time_point start =
        byte_time.count() == 0 ? earliest : std::max(earliest, line_free_at_);
    const Clock::time_point deadline = start + byte_time;
    const Wake woke = sleepUntil(deadline, serve_sends);
    if (woke == Wake::kStop) return false;
    if (woke == Wake::kSends) {
      if (!flushSends()) return false;
      continue;  // the line has moved on: work the deadline out again
    }
    const std::size_t chunk = byte_time.count() == 0 ? count - i : 1;
    const Clock::time_point begun = Clock::now();
    if (!writeAll(bytes + i, chunk)) return false;
    if (answer_bytes) {
      const Clock::time_point done = Clock::now();
      std::lock_guard lock(mutex_);
      // clearLog() may have emptied the record meanwhile; the write then goes unrecorded.
      if (!answers_.empty()) answers_.back().writes.push_back({chunk, begun, done});
    }
    i += chunk;
    line_free_at_ = byte_time.count() == 0 ? Clock::now() : deadline;
    earliest = line_free_at_;
  }
  return true;
}

bool Simulator::writeAll(const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t put = ::write(master_fd_, bytes, count);
    if (put > 0) {
      mirror(bytes, static_cast<std::size_t>(put));
      bytes += put;
      count -= static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN) {
      closeLine();
      return false;
    }
    // The terminal is full: the client is not reading. Wait for room, or to be told to give up.
    pollfd fds[2] = {{wake_read_fd_, POLLIN, 0}, {master_fd_, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents != 0) {
      drainWake();
      if (interrupted()) return false;
    }
  }
  return true;
}

bool Simulator::flushSends() {
  for (;;) {
    std::vector<std::uint8_t> bytes;
    {
      std::lock_guard lock(mutex_);
      if (outgoing_.empty()) return true;
      bytes.assign(outgoing_.begin(), outgoing_.end());
      outgoing_.clear();
    }
    trace("sent " + hex(bytes.data(), bytes.size()));
    const bool done = transmit(bytes.data(), bytes.size(), Clock::now(), false, false);
    {
      std::lock_guard lock(mutex_);
      sends_written_ += bytes.size();
    }
    changed_.notify_all();
    if (!done) return false;
  }
}

bool Simulator::waitForClientToRead() {
  // Closing the master throws away whatever the terminal has not yet handed to its reader, which
  // would make the bytes sent before vanishing pointless; give the client a moment to take them.
  const Clock::time_point give_up = Clock::now() + kHangUpDrainLimit;
  for (;;) {
    // Bytes written to the master reach the terminal's queue through a deferred step that
    // FIONREAD does not see; polling the terminal end completes that step first.
    pollfd terminal{terminal_fd_, POLLIN, 0};
    poll(&terminal, 1, 0);
    int pending = 0;
    if (ioctl(terminal_fd_, FIONREAD, &pending) != 0 || pending == 0) return true;
    if (Clock::now() >= give_up) return true;
    if (sleepUntil(Clock::now() + std::chrono::milliseconds(1), false) == Wake::kStop) {
      return false;
    }
  }
}

Simulator::Wake Simulator::sleepUntil(Clock::time_point deadline, bool watch_sends) {
  for (;;) {
    if (interrupted()) return Wake::kStop;
    if (watch_sends) {
      std::lock_guard lock(mutex_);
      if (!outgoing_.empty()) return Wake::kSends;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return Wake::kDeadline;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
    const timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                           static_cast<long>(left.count() % 1'000'000'000)};
    pollfd fd{wake_read_fd_, POLLIN, 0};
    if (ppoll(&fd, 1, &timeout, nullptr) > 0) drainWake();
  }
}

bool Simulator::interrupted() {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return true;
    if (!hang_up_requested_) return false;
  }
  closeLine();
  return true;
}

void Simulator::closeLine() {
  const bool was_open = master_fd_ >= 0;
  {
    // Closed under the lock, so that whoever sees the hang-up on the terminal and then asks
    // hungUp() gets true.
    std::lock_guard lock(mutex_);
    closeFd(master_fd_);
    closeFd(terminal_fd_);
    if (was_open) hung_up_at_ = Clock::now();
    hung_up_ = true;
    hang_up_requested_ = false;
    sends_written_ += outgoing_.size();
    outgoing_.clear();
  }
  changed_.notify_all();
  if (was_open) trace("line hung up");
}

void Simulator::wake() const {
  const std::uint8_t byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t ignored = ::write(wake_write_fd_, &byte, 1);
}

void Simulator::drainWake() const {
  std::uint8_t sink[64];
  while (::read(wake_read_fd_, sink, sizeof sink) > 0) {
  }
}

Simulator::Clock::duration Simulator::byteTime() const {
  const std::uint32_t baud = pace_baud_.load();
  if (baud == 0) return Clock::duration::zero();
  // Start bit, eight data bits, stop bit.
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000ULL) /
                                                     baud);
}

void Simulator::trace(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    sink = trace_;
  }
  if (sink) sink(line);
}

}  // namespace varno::sim
