// The serial port on Linux: a terminal device, used non-blocking, its waits built from poll().
// The inter-byte limit is kept here, in user space, against the monotonic clock: VTIME counts
// tenths of a second and gives no such limit.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <linux/serial.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os/linux_termios2.h"
#include "ports/port_registry.h"
#include "ports/serial_port.h"

namespace varno {
namespace {

template <typename F>
auto noEintr(F call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The driver has no such request: a pseudo-terminal, or a port without modem lines or RS-485.
bool notSupported(int error) {
  return error == ENOTTY || error == EINVAL;
}

// Standard rates go in as their code (what every driver knows); any other as BOTHER + number.
bool standardRateCode(std::uint32_t rate, tcflag_t& code) {
  struct Rate {
    std::uint32_t rate;
    tcflag_t code;
  };
  static const Rate kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Rate& r : kRates) {
    if (r.rate == rate) {
      code = r.code;
      return true;
    }
  }
  return false;
}

// What the user is told when the device will not open.
PortError openFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return PortError::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return PortError::kPermission;
    case EBUSY:  // TIOCEXCL: another program has the terminal
      return PortError::kInUse;
    case EISDIR:
      return PortError::kNotSerial;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return PortError::kResources;
    default:
      return PortError::kSystem;
  }
}

std::int64_t nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kBitsPerCharacter = 10;  // start bit, eight data bits, stop bit

// How RTS is made to follow the transmitter.
enum class RtsDrive {
  kNone,    // no modem lines (a pseudo-terminal): nothing to drive
  kKernel,  // the driver's RS-485 mode raises RTS while it sends
  kManual,  // raised before a write, dropped once the output has drained
  kOff,     // held low
};

class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override {
    close();
    // Kept until now: abort() may write to it from another thread at any time before.
    if (abort_fd_ >= 0) ::close(abort_fd_);
  }

  OpenStatus open(const std::string& name, const PortSettings& settings) override {
    std::lock_guard lock(io_);
    // Without it a close could not cut a wait short: better no port than one that hangs a close.
    if (abort_fd_ < 0) abort_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    abort_signal_fd_.store(abort_fd_);
    if (abort_fd_ < 0) return OpenStatus::failure(OpenStep::kCreateEvents, PortError::kResources);
    if (closed_ || fd_ >= 0) return OpenStatus::failure(OpenStep::kOpenDevice);

    const OpenStatus opened = openDevice(name);
    if (!opened.ok()) return opened;
    // The driver's queues: nothing of an earlier user of the line is taken for a reply.
    if (tcflush(fd_, TCIOFLUSH) != 0) return release(OpenStep::kPurge, errno);
    if (!saveLineSettings()) return release(OpenStep::kReadLineSettings, errno);
    if (!applyLineSettings(settings)) return release(OpenStep::kApplyLineSettings, errno);
    int waiting;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) return release(OpenStep::kClearErrors, errno);
    inter_byte_ns_ = static_cast<std::int64_t>(settings.inter_byte_ms) * kNsPerMs;
    return {};
  }

  bool discard() override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    endWrite(false);
    return tcflush(fd_, TCIOFLUSH) == 0;
  }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard lock(io_);
    if (!usable()) return false;
    setRts(true);
    write_data_ = data;
    write_size_ = size;
    write_done_ = 0;
    write_pending_ = true;
    write_finished_ = false;
    write_ok_ = false;
    const ssize_t n = noEintr([&] { return ::write(fd_, data, size); });
    if (n < 0 && errno != EAGAIN) {
      write_pending_ = false;
      setRts(false);
      return false;
    }
    if (n > 0) {
      write_done_ = static_cast<std::size_t>(n);
      queued_ns_ = nowNs();
    }
    if (write_done_ == write_size_ && rts_ != RtsDrive::kManual) endWrite(true);
    return true;
  }

  WaitResult finishWrite(std::uint32_t timeout_ms) override {
    std::lock_guard lock(io_);
    const std::int64_t deadline = timeout_ms == kInfinite ? -1 : nowNs() + timeout_ms * kNsPerMs;
    while (!write_finished_) {
      // No write under way (never started, or the port closed under it): nothing will finish.
      if (!usable() || !write_pending_) return WaitResult::kTimedOut;
      if (write_done_ < write_size_) {
        const int ready = waitFor(POLLOUT, deadline);
        if (ready < 0) return endOfWait();
        if (ready & (POLLERR | POLLHUP | POLLNVAL)) {
          endWrite(false);
          break;
        }
        const ssize_t n = noEintr(
            [&] { return ::write(fd_, write_data_ + write_done_, write_size_ - write_done_); });
        if (n < 0 && errno != EAGAIN) {
          endWrite(false);
          break;
        }
        if (n > 0) {
          write_done_ += static_cast<std::size_t>(n);
          queued_ns_ = nowNs();
        }
        if (write_done_ == write_size_ && rts_ != RtsDrive::kManual) endWrite(true);
      } else {
        // RTS driven by hand: the write is over when the last stop bit has left the UART.
        if (transmitterEmpty()) {
          setRts(false);
          endWrite(true);
          break;
        }
        if (waitFor(0, deadline, 1) == -1) return endOfWait();
      }
    }
    return write_ok_ ? WaitResult::kDone : WaitResult::kFailed;
  }

  // Sleeps in poll() until a byte arrives rather than asking for the count again at once:
  // received bytes reach the terminal through a kernel worker, which a thread spinning on the
  // count holds off the processor (on a busy machine long enough to cut replies apart), and a
  // device simulated on the same machine with it. poll() wakes as soon as the first byte is there.
  WaitResult awaitInput(std::uint32_t timeout_ms) override {
    std::lock_guard lock(io_);
    const std::int64_t deadline =
        timeout_ms == kInfinite ? -1 : nowNs() + static_cast<std::int64_t>(timeout_ms) * kNsPerMs;
    for (bool last_count = false;; last_count = deadline >= 0 && nowNs() >= deadline) {
      if (aborted_.load()) return WaitResult::kAborted;
      if (!usable()) return WaitResult::kFailed;
      if (inputWaiting()) return WaitResult::kDone;
      if (last_count) return WaitResult::kTimedOut;
      const int ready = waitFor(POLLIN, deadline);
      if (ready < 0) return endOfWait();
      // A line that has gone away: what it received before still counts; then it has failed.
      if (ready & (POLLHUP | POLLERR | POLLNVAL)) {
        return inputWaiting() ? WaitResult::kDone : WaitResult::kFailed;
      }
    }
  }

  bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    std::lock_guard lock(io_);
    received = 0;
    if (!usable()) return false;
    // Take what is already there; a read of 0 says nothing here (no data, or a hang-up), so the
    // wait sorts it out.
    ssize_t n = noEintr([&] { return ::read(fd_, buffer, size); });
    if (n < 0 && errno != EAGAIN) return false;
    std::int64_t last_byte_ns = 0;
    if (n > 0) {
      received = static_cast<std::size_t>(n);
      last_byte_ns = nowNs();
    }
    while (received < size) {
      // Until the first byte there is no limit (as with the Windows driver); after it, the read
      // ends once more than the inter-byte time passes without another.
      const std::int64_t deadline = received > 0 ? last_byte_ns + inter_byte_ns_ + 1 : -1;
      const int ready = waitFor(POLLIN, deadline);
      if (ready < 0) return !aborted_.load();  // the line fell silent: what came is the reply
      if (!(ready & POLLIN)) return false;     // hung up or failed, nothing left to read
      n = noEintr([&] { return ::read(fd_, buffer + received, size - received); });
      if (n > 0) {
        received += static_cast<std::size_t>(n);
        last_byte_ns = nowNs();
      } else if (n == 0 || errno != EAGAIN) {
        // Readable but nothing to read: the device has gone (a USB adapter unplugged reads 0,
        // a pseudo-terminal whose other side closed reads EIO).
        return false;
      }
    }
    return true;
  }

  void cancel() override {
    std::lock_guard lock(io_);
    if (usable()) endWrite(false);
  }

  void abort() override {
    aborted_.store(true);
    // The eventfd wakes a poll in progress; the flag stops every later one. Both lock-free.
    const int fd = abort_signal_fd_.load();
    if (fd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
  }

  void close() override {
    std::lock_guard lock(io_);
    if (closed_) return;
    closed_ = true;
    if (fd_ >= 0) {
      endWrite(false);
      tcflush(fd_, TCIOFLUSH);
      restoreSettings();
      closeDevice();
    }
  }

 private:
  bool usable() const { return !closed_ && fd_ >= 0; }

  // The device, for exclusive use.
  OpenStatus openDevice(const std::string& name) {
    // A name with a '/' is a path; any other lives under /dev ("ttyUSB0", or "COM1" where a
    // user has linked one).
    const std::string path = name.find('/') != std::string::npos ? name : "/dev/" + name;
    const int fd =
        noEintr([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
      const int error = errno;
      return OpenStatus::failure(OpenStep::kOpenDevice, openFailure(error), error);
    }
    // Exclusive use: flock holds against everyone who asks (root included, and this process's
    // other links), TIOCEXCL against other programs that open the terminal without asking.
    if (!isatty(fd)) {
      const int error = errno;
      ::close(fd);
      return OpenStatus::failure(OpenStep::kOpenDevice, PortError::kNotSerial, error);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      return OpenStatus::failure(OpenStep::kOpenDevice,
                                 error == EWOULDBLOCK ? PortError::kInUse : PortError::kSystem,
                                 error);
    }
    ioctl(fd, TIOCEXCL);
    fd_ = fd;
    return {};
  }

  // A step after the device's failed: what it found is written back and the device let go, so
  // that a later open may try again.
  OpenStatus release(OpenStep step, int error) {
    restoreSettings();
    closeDevice();
    return OpenStatus::failure(step, PortError::kNone, error);
  }

  void closeDevice() {
    // The exclusive flag belongs to the terminal, not to this descriptor.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    have_saved_termios_ = have_saved_modem_ = have_saved_rs485_ = have_saved_serial_ = false;
  }

  bool saveLineSettings() {
    if (ioctl(fd_, TCGETS2, &saved_termios_) != 0) return false;
    have_saved_termios_ = true;
    have_saved_modem_ = ioctl(fd_, TIOCMGET, &saved_modem_) == 0;
    have_saved_rs485_ = ioctl(fd_, TIOCGRS485, &saved_rs485_) == 0;
    have_saved_serial_ = ioctl(fd_, TIOCGSERIAL, &saved_serial_) == 0;
    return true;
  }

  // Raw 8N1 at the rate asked for, DTR off, RTS as asked.
  bool applyLineSettings(const PortSettings& settings) {
    if (settings.baud_rate == 0) return false;  // B0 would hang the line up
    termios2 t;
    if (ioctl(fd_, TCGETS2, &t) != 0) return false;
    // Raw 8N1, receiver on, modem control lines ignored, no flow control of either kind.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                        HUPCL | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcflag_t code;
    if (standardRateCode(settings.baud_rate, code)) {
      t.c_cflag |= code;
    } else {
      t.c_cflag |= BOTHER;
    }
    t.c_ispeed = t.c_ospeed = settings.baud_rate;
    if (ioctl(fd_, TCSETS2, &t) != 0) return false;
    // A driver takes a rate it cannot make without a word, keeping the one it had (the 8250
    // driver beyond its UART's clock) or its nearest; one it can only come close to, it may
    // report as made. More than 3% off, the rate is refused.
    termios2 taken;
    if (ioctl(fd_, TCGETS2, &taken) != 0 ||
        std::abs(static_cast<std::int64_t>(taken.c_ospeed) - settings.baud_rate) * 100 >
            static_cast<std::int64_t>(settings.baud_rate) * 3) {
      return false;
    }
    baud_rate_ = settings.baud_rate;
    if (have_saved_serial_) {
      // USB adapters may hold received bytes for up to 16 ms, longer than the inter-byte limit,
      // and would cut replies in two. Best effort: a driver that refuses is used as it is.
      serial_struct low_latency = saved_serial_;
      low_latency.flags |= ASYNC_LOW_LATENCY;
      ioctl(fd_, TIOCSSERIAL, &low_latency);
    }
    return applyModemLines(settings.rts);
  }

  // Writes back what the open found. Best effort.
  void restoreSettings() {
    if (have_saved_rs485_) ioctl(fd_, TIOCSRS485, &saved_rs485_);
    if (have_saved_termios_) ioctl(fd_, TCSETS2, &saved_termios_);
    if (have_saved_modem_) {
      const int lines = TIOCM_DTR | TIOCM_RTS;
      const int high = saved_modem_ & lines;
      const int low = lines & ~high;
      if (high) ioctl(fd_, TIOCMBIS, &high);
      if (low) ioctl(fd_, TIOCMBIC, &low);
    }
    if (have_saved_serial_) ioctl(fd_, TIOCSSERIAL, &saved_serial_);
  }

  bool inputWaiting() {
    int waiting = 0;
    return ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0;
  }

  // How a wait that waitFor() ended without the port ended.
  WaitResult endOfWait() const {
    return aborted_.load() ? WaitResult::kAborted : WaitResult::kTimedOut;
  }

  // Polls the port for `events` (0: nothing, only the time and the abort) until `deadline`
  // (-1: none), at most `max_ms` when given. The port's revents, or -1 when aborted or out of
  // time. A deadline that has passed still gets one look at the port: a thread that was not
  // scheduled for a while must not take its own delay for silence on the line.
  int waitFor(short events, std::int64_t deadline, int max_ms = -1) {
    for (;;) {
      if (aborted_.load()) return -1;
      timespec ts{};
      timespec* timeout = nullptr;
      std::int64_t wait_ns = -1;
      bool last_look = false;
      if (deadline >= 0) {
        wait_ns = deadline - nowNs();
        if (wait_ns <= 0) {
          wait_ns = 0;
          last_look = true;
        }
      }
      if (max_ms >= 0 && (wait_ns < 0 || wait_ns > max_ms * kNsPerMs)) wait_ns = max_ms * kNsPerMs;
      if (wait_ns >= 0) {
        ts.tv_sec = static_cast<time_t>(wait_ns / 1000000000);
        ts.tv_nsec = static_cast<long>(wait_ns % 1000000000);
        timeout = &ts;
      }
      pollfd p[2] = {{fd_, events, 0}, {abort_fd_, POLLIN, 0}};
      const int n = ppoll(p, abort_fd_ >= 0 ? 2 : 1, timeout, nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (aborted_.load()) return -1;
      if (n == 0) {
        if (last_look) return -1;
        if (max_ms >= 0) return 0;
        continue;  // re-check the deadline
      }
      if (p[0].revents) return p[0].revents;
    }
  }

  void endWrite(bool ok) {
    if (!write_pending_) return;
    write_pending_ = false;
    write_finished_ = true;
    write_ok_ = ok;
    if (!ok) setRts(false);
  }

  // DTR off; RTS as asked. A terminal without modem lines has nothing to drive and is used as
  // it is; any other refusal fails the open.
  bool applyModemLines(RtsControl rts) {
    int lines;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) {
      if (!notSupported(errno)) return false;
      rts_ = RtsDrive::kNone;
      return true;
    }
    const int dtr = TIOCM_DTR;
    if (ioctl(fd_, TIOCMBIC, &dtr) != 0 && !notSupported(errno)) return false;

    if (rts != RtsControl::Disable) {
      serial_rs485 rs485{};
      rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
      if (ioctl(fd_, TIOCSRS485, &rs485) == 0) {
        rts_ = RtsDrive::kKernel;
        return true;
      }
      if (!notSupported(errno)) return false;
      rts_ = RtsDrive::kManual;
    } else {
      rts_ = RtsDrive::kOff;
    }
    const int rts_line = TIOCM_RTS;
    return ioctl(fd_, TIOCMBIC, &rts_line) == 0 || notSupported(errno);
  }

  void setRts(bool high) {
    if (rts_ != RtsDrive::kManual) return;
    const int line = TIOCM_RTS;
    ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &line);
  }

  // The driver's queue has drained and the UART has sent its last stop bit. The UART's own line
  // status says so where the driver reports it; a driver that has no such report, or whose
  // report has never once shown the transmitter empty (QEMU's FTDI adapter sends a line status
  // of 0 for ever), is given the frame's time on the wire, plus one character for the byte in the
  // shift register, from when its last byte was queued.
  bool transmitterEmpty() {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return true;
    if (queued > 0) return false;
    unsigned int lsr = 0;
    if (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT) != 0) {
      lsr_shows_empty_ = true;
      return true;
    }
    if (lsr_shows_empty_) return false;  // a report that works: wait for it
    const std::int64_t wire_ns =
        static_cast<std::int64_t>(write_size_ + 1) * kBitsPerCharacter * 1000000000 / baud_rate_;
    return nowNs() - queued_ns_ >= wire_ns;
  }

  std::mutex io_;  // every operation, waits included (an abort ends those at once)
  std::atomic<bool> aborted_{false};
  int abort_fd_ = -1;                     // readable once the waits are aborted
  std::atomic<int> abort_signal_fd_{-1};  // the same, for abort() to reach without the lock
  int fd_ = -1;
  bool closed_ = false;
  std::int64_t inter_byte_ns_ = kInterByteTimeoutMs * kNsPerMs;

  termios2 saved_termios_{};
  bool have_saved_termios_ = false;
  int saved_modem_ = 0;
  bool have_saved_modem_ = false;
  serial_rs485 saved_rs485_{};
  bool have_saved_rs485_ = false;
  serial_struct saved_serial_{};
  bool have_saved_serial_ = false;
  RtsDrive rts_ = RtsDrive::kNone;
  std::uint32_t baud_rate_ = 0;
  bool lsr_shows_empty_ = false;  // the driver's line status has shown the transmitter empty

  const std::uint8_t* write_data_ = nullptr;
  std::size_t write_size_ = 0;
  std::size_t write_done_ = 0;
  bool write_pending_ = false;
  bool write_finished_ = false;
  bool write_ok_ = false;
  std::int64_t queued_ns_ = 0;  // when the last bytes of the write went to the driver
};

}  // namespace

std::unique_ptr<SerialPort> makeSystemSerialPort() {
  return std::make_unique<PosixSerialPort>();
}

}  // namespace varno
