// The library on the kernel's own serial drivers, run inside a QEMU guest: the 8250 driver's
// 16550A as ttyS1 and ftdi_sio's USB adapter as ttyUSBn, each line played on the host side by
// varno-sim with the devices below. The host's driver (run_vm.py) reads this program's output
// on the console; a line "@@VM ..." asks it to pull out or plug in the adapter, or carries a
// figure.
//
// Devices on both lines: 1 answers, 2 silent, 3 short=5, 4 badcrc,
// 7 status=17,error=34,data=0x02003039, 11 split=2+1+1+1+1+1+1+1+1+1+1,gap=4 (on the USB line
// the host pulls the adapter out a few bytes into every answer of 11).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/serial.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "os/linux_termios2.h"
#include "ports/port_registry.h"
#include "support/callback_recorder.h"
#include "support/diagnostic_log.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kAnswers = 1, kSilent = 2, kShort = 3, kBadCrc = 4, kFields = 7,
                       kSlowAnswer = 11;
constexpr std::uint8_t kHost = 31;
const std::uint8_t kData[4] = {0x11, 0x22, 0x33, 0x04};

// An emulated machine on a busy host is slow at times: time-outs that only a fault waits out,
// and "prompt" as anything well short of them.
constexpr std::uint32_t kWriteTimeoutMs = 2000;
constexpr std::uint32_t kReplyTimeoutMs = 5000;
constexpr auto kPrompt = 1000ms;

void askHost(const std::string& what) {
  std::printf("@@VM %s\n", what.c_str());
  std::fflush(stdout);
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto give_up = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::size_t entries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// The process's threads once the last one ended has gone: a joined thread may still be listed
// for a moment (under emulation, for milliseconds).
std::size_t threadsAtRest() {
  std::size_t n = entries("/proc/self/task");
  waitUntil([&] { return (n = entries("/proc/self/task")) == 3; }, 2s);  // ".", "..", main
  return n;
}

// Whether a process without privileges may open the terminal (root passes TIOCEXCL, and an
// open, even one refused afterwards, raises the modem lines).
int openUnprivileged(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 3);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string latencyFile(const std::string& tty) {
  return "/sys/bus/usb-serial/devices/" + tty + "/latency_timer";
}

// The adapter's terminal while it is plugged in ("ttyUSB0", or another number after a replug),
// once its device node and its driver's settings are there.
std::string usbTty() {
  std::string found;
  if (DIR* d = opendir("/sys/bus/usb-serial/devices")) {
    while (const dirent* e = readdir(d)) {
      if (std::strncmp(e->d_name, "ttyUSB", 6) == 0) found = e->d_name;
    }
    closedir(d);
  }
  if (found.empty() || access(("/dev/" + found).c_str(), F_OK) != 0 ||
      access(latencyFile(found).c_str(), F_OK) != 0) {
    return {};
  }
  return found;
}
int latencyTimer(const std::string& tty) {
  std::ifstream in(latencyFile(tty));
  int value = -1;
  in >> value;
  return value;
}
void setLatencyTimer(const std::string& tty, int value) {
  std::ofstream(latencyFile(tty)) << value << "\n";
}

// A descriptor of our own on the terminal, open across the library's open and close: it keeps
// the terminal from its last close (which would drop the modem lines) and shows the settings.
class Witness {
 public:
  explicit Witness(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Witness() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  termios2 termios() const {
    termios2 t{};
    EXPECT_EQ(ioctl(fd_, TCGETS2, &t), 0);
    return t;
  }
  void setTermios(const termios2& t) const { ASSERT_EQ(ioctl(fd_, TCSETS2, &t), 0); }
  int modemLines() const {
    int lines = 0;
    EXPECT_EQ(ioctl(fd_, TIOCMGET, &lines), 0);
    return lines & (TIOCM_DTR | TIOCM_RTS);
  }
  serial_struct serial() const {
    serial_struct s{};
    EXPECT_EQ(ioctl(fd_, TIOCGSERIAL, &s), 0);
    return s;
  }
  int exclusive() const {
    int excl = -1;
    EXPECT_EQ(ioctl(fd_, TIOCGEXCL, &excl), 0);
    return excl;
  }
  bool canLock() const {
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
    flock(fd_, LOCK_UN);
    return true;
  }

 private:
  int fd_;
};

// The system's port, watched: how long the write took, whether a reply's read began, and how it
// ended.
struct ReadWatch {
  std::atomic<std::int64_t> write_wait_ms{-1};
  std::atomic<int> reads_started{0};
  std::atomic<bool> read_ok{false};
  std::atomic<std::size_t> bytes_read{0};
};

class WatchedPort final : public SerialPort {
 public:
  explicit WatchedPort(std::shared_ptr<ReadWatch> watch)
      : port_(makeSystemSerialPort()), watch_(std::move(watch)) {}
  OpenStatus open(const std::string& name, const PortSettings& settings) override {
    return port_->open(name, settings);
  }
  bool discard() override { return port_->discard(); }
  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    return port_->startWrite(data, size);
  }
  WaitResult finishWrite(std::uint32_t timeout_ms) override {
    const auto start = Clock::now();
    const WaitResult result = port_->finishWrite(timeout_ms);
    watch_->write_wait_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return result;
  }
  WaitResult awaitInput(std::uint32_t timeout_ms) override { return port_->awaitInput(timeout_ms); }
  bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    ++watch_->reads_started;
    const bool ok = port_->read(buffer, size, received);
    watch_->read_ok = ok;
    watch_->bytes_read = received;
    return ok;
  }
  void cancel() override { port_->cancel(); }
  void abort() override { port_->abort(); }
  void close() override { port_->close(); }

 private:
  std::unique_ptr<SerialPort> port_;
  std::shared_ptr<ReadWatch> watch_;
};

struct Line {
  const char* name;
  bool usb;
};

class LineTest : public ::testing::TestWithParam<Line> {
 protected:
  void SetUp() override {
    tty_ = GetParam().usb ? usbTty() : GetParam().name;
    ASSERT_FALSE(tty_.empty()) << "no USB adapter";
    path_ = "/dev/" + tty_;
    if (usb()) setLatencyTimer(tty_, 16);
  }
  void TearDown() override { varnoCloseSerialPort(); }

  bool usb() const { return GetParam().usb; }

  Call exchange(std::uint8_t dest, std::uint32_t reply_timeout_ms = kReplyTimeoutMs) {
    const std::size_t before = recorder.count();
    EXPECT_EQ(varnoSendCommand(dest, kHost, 3, 0x45, kData, kWriteTimeoutMs, reply_timeout_ms,
                               &CallbackRecorder::callback, true),
              0);
    EXPECT_EQ(recorder.count(), before + 1);
    return recorder.count() > before ? recorder.calls()[before] : Call{};
  }

  std::string tty_, path_;
  DiagnosticLog log;
  CallbackRecorder recorder;
};

TEST_P(LineTest, OpenAtEachRateAndCloseRestoresTheDriverExactly) {
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  Witness witness(path_);
  ASSERT_TRUE(witness.ok());
  // Settings nobody would choose, so that nothing restores them by accident.
  termios2 odd = witness.termios();
  odd.c_iflag = ICRNL | IXON;
  odd.c_oflag = OPOST | ONLCR;
  odd.c_lflag = ICANON | ECHO | ISIG;
  odd.c_cflag = CS7 | PARENB | CSTOPB | CREAD | HUPCL | B1200;
  odd.c_ispeed = odd.c_ospeed = 1200;
  odd.c_cc[VMIN] = 5;
  odd.c_cc[VTIME] = 7;
  witness.setTermios(odd);
  const termios2 before = witness.termios();
  // Every open of a terminal raises DTR and RTS (the witness's did, and so does the library's):
  // the lines to come back are those.
  const int lines_before = witness.modemLines();
  const serial_struct serial_before = witness.serial();
  ASSERT_EQ(lines_before, TIOCM_DTR | TIOCM_RTS);
  ASSERT_EQ(serial_before.flags & ASYNC_LOW_LATENCY, 0);
  ASSERT_EQ(witness.exclusive(), 0);

  // Standard rates, and rates of no standard (a 16550A from its 1.8432 MHz clock only up to
  // 115200; the FTDI adapter to 3 Mbaud).
  std::vector<std::uint32_t> rates = {9600, 38400, 115200, 31250, 56000};
  if (usb()) rates.insert(rates.end(), {250000, 1000000});
  for (const std::uint32_t rate : rates) {
    SCOPED_TRACE(rate);
    ASSERT_TRUE(varnoOpenSerialPort(path_, rate));
    const termios2 during = witness.termios();
    EXPECT_EQ(during.c_ospeed, rate);
    EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(witness.modemLines(), 0);  // DTR off, RTS low between writes
    EXPECT_NE(witness.serial().flags & ASYNC_LOW_LATENCY, 0);
    if (usb()) {
      EXPECT_EQ(latencyTimer(tty_), 1);
    }
    // Exclusive: no other lock, and no other program's open, while open.
    EXPECT_FALSE(witness.canLock());
    EXPECT_EQ(witness.exclusive(), 1);
    EXPECT_EQ(openUnprivileged(path_), 1);  // EBUSY

    const Call c = exchange(kAnswers);
    EXPECT_EQ(c.error_status, 0);
    EXPECT_EQ(witness.modemLines(), 0);  // RTS dropped again after the write

    varnoCloseSerialPort();
    const termios2 after = witness.termios();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(witness.modemLines(), lines_before);
    const serial_struct serial_after = witness.serial();
    EXPECT_EQ(std::memcmp(&serial_before, &serial_after, sizeof serial_before), 0);
    if (usb()) {
      EXPECT_EQ(latencyTimer(tty_), 16);
    }
    EXPECT_EQ(witness.exclusive(), 0);
    EXPECT_TRUE(witness.canLock());
  }
  EXPECT_EQ(openUnprivileged(path_), 0);
}

TEST_P(LineTest, ARateTheDriverCannotMakeIsRefused) {
  // Beyond the 16550A's 115200 the 8250 driver keeps the rate it had; the FTDI adapter stops at
  // 3 Mbaud.
  const std::uint32_t rate = usb() ? 12000000 : 250000;
  Witness witness(path_);
  ASSERT_TRUE(witness.ok());
  const termios2 before = witness.termios();
  EXPECT_FALSE(varnoOpenSerialPort(path_, rate));
  EXPECT_EQ(log.take(), Texts{"\n openInterface !SetCommState"});
  const termios2 after = witness.termios();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_TRUE(witness.canLock());
  ASSERT_TRUE(varnoOpenSerialPort(path_, 115200));
  EXPECT_EQ(exchange(kAnswers).error_status, 0);
}

TEST_P(LineTest, EveryOutcomeADeviceCanProvoke) {
  ASSERT_TRUE(varnoOpenSerialPort(path_, 115200));
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const Call valid = exchange(kAnswers);
    EXPECT_EQ(valid.error_status, 0);
    EXPECT_EQ(valid.dest & 0x7F, kHost);
    EXPECT_EQ(valid.source, kAnswers);
    EXPECT_EQ(valid.param, 0x45);
    EXPECT_EQ(valid.data, (std::array<std::uint8_t, 4>{0x11, 0x22, 0x33, 0x04}));
    const Call fields = exchange(kFields);
    EXPECT_EQ(fields.error_status, 0);
    EXPECT_EQ(fields.status, 17);
    EXPECT_EQ(fields.error, 34);
    EXPECT_EQ(fields.data, (std::array<std::uint8_t, 4>{0x39, 0x30, 0x00, 0x02}));
    EXPECT_EQ(exchange(kSilent, 50).error_status, 3);
    EXPECT_EQ(exchange(kShort).error_status, 5);
    EXPECT_EQ(exchange(kBadCrc).error_status, 5);
  }
}

TEST_P(LineTest, CloseInEachPhaseIsPromptAndTheLineOpensAgain) {
  const std::size_t fds = entries("/proc/self/fd");
  const std::size_t threads = threadsAtRest();
  const auto reopen = [&](std::uint32_t rate) {
    ASSERT_TRUE(varnoOpenSerialPort(path_, rate));
    EXPECT_EQ(exchange(kAnswers).error_status, 0);
  };
  const auto closeTook = [] {
    const auto start = Clock::now();
    varnoCloseSerialPort();
    return Clock::now() - start;
  };

  // Idle.
  reopen(38400);
  EXPECT_LT(closeTook(), kPrompt);

  // While the frame is on the wire. The adapter's write lasts its wire time at 1200 baud
  // (108 ms); the 16550A's is over before a close can come. No callback for a write the close
  // overtook.
  if (usb()) {
    reopen(1200);
    const std::size_t before = recorder.count();
    ASSERT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, kData, kWriteTimeoutMs, kReplyTimeoutMs,
                               &CallbackRecorder::callback, false),
              0);
    EXPECT_EQ(varnoGetSerialPortCurrentState(), kSending);
    EXPECT_LT(closeTook(), 108ms + kPrompt);
    EXPECT_EQ(recorder.count(), before);
  }

  // Awaiting the reply: the reply time-out still ends it, with its callback.
  reopen(38400);
  const std::size_t calls = recorder.count();
  ASSERT_EQ(varnoSendCommand(kSilent, kHost, 0, 0, kData, kWriteTimeoutMs, 300,
                             &CallbackRecorder::callback, false),
            0);
  ASSERT_TRUE(waitUntil([] { return varnoGetSerialPortCurrentState() == kAwaitingReply; }, 5s));
  EXPECT_LT(closeTook(), 300ms + kPrompt);
  ASSERT_EQ(recorder.count(), calls + 1);
  EXPECT_EQ(recorder.calls().back().error_status, 3);

  // Inside the callback: the close waits for it.
  reopen(38400);
  std::atomic<bool> inside{false};
  recorder.setDuring([&](const Call&) {
    inside = true;
    std::this_thread::sleep_for(200ms);
  });
  ASSERT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, kData, kWriteTimeoutMs, kReplyTimeoutMs,
                             &CallbackRecorder::callback, false),
            0);
  ASSERT_TRUE(waitUntil([&] { return inside.load(); }, 5s));
  EXPECT_LT(closeTook(), 200ms + kPrompt);
  recorder.setDuring([](const Call&) {});
  EXPECT_EQ(recorder.calls().back().error_status, 0);

  reopen(38400);
  varnoCloseSerialPort();
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kClosed);
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(threadsAtRest(), threads);
  for (const std::string& text : log.take()) EXPECT_EQ(text.find("terminated"), std::string::npos);
}

// Send to callback, over some hundreds of transactions with the device answering at once. The
// outcomes are the other tests' business: a busy host may hold the emulator off the processor
// for longer than the inter-byte limit while the 16550A hands a reply over in two parts (at its
// FIFO's trigger level, then at its time-out), and the reply ends with 5. Only a line where one
// transaction in ten fails is broken.
TEST_P(LineTest, SendToCallbackFigures) {
  static std::atomic<std::int64_t> called_ns{0};
  static std::atomic<std::int32_t> outcome{-1};
  const auto stamp = [](std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                        std::uint8_t, std::uint8_t*, std::int32_t error_status) {
    outcome = error_status;
    called_ns = Clock::now().time_since_epoch().count();
  };
  const auto ns = [] { return Clock::now().time_since_epoch().count(); };
  for (const std::uint32_t rate : {115200u, 38400u}) {
    ASSERT_TRUE(varnoOpenSerialPort(path_, rate));
    std::vector<double> us;
    int failures = 0;
    for (int i = 0; i < 400; ++i) {
      const std::int64_t sent = ns();
      ASSERT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, kData, kWriteTimeoutMs, kReplyTimeoutMs,
                                 +stamp, false),
                0);
      ASSERT_TRUE(waitUntil([] { return varnoGetSerialPortCurrentState() == kIdle; }, 10s));
      if (outcome != 0 && ++failures > 40) break;  // broken, not slow: no figures
      us.push_back(static_cast<double>(called_ns - sent) / 1000.0);
    }
    varnoCloseSerialPort();
    EXPECT_LE(failures, 40) << rate;
    std::sort(us.begin(), us.end());
    char figure[160];
    std::snprintf(figure, sizeof figure,
                  "figure %s %u n=%zu median_us=%.0f p99_us=%.0f not_valid=%d", GetParam().name,
                  rate, us.size(), us[us.size() / 2], us[us.size() * 99 / 100], failures);
    askHost(figure);
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, LineTest,
                         ::testing::Values(Line{"ttyS1", false}, Line{"ttyUSB", true}),
                         [](const ::testing::TestParamInfo<Line>& info) {
                           return info.param.usb ? std::string("ftdi_sio")
                                                 : std::string("serial8250");
                         });

// The adapter pulled out (QEMU's device_del) and plugged in again (device_add).
class UnplugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(waitUntil([&] { return !(tty_ = usbTty()).empty(); }, 10s)) << "no adapter";
    fds_ = entries("/proc/self/fd");
    threads_ = threadsAtRest();
  }
  void TearDown() override {
    closeConnection();
    if (usbTty().empty()) plugBackIn();
  }

  bool open(const std::string& tty) {
    watch_ = std::make_shared<ReadWatch>();
    OpenOptions options;
    options.make_port = [w = watch_] { return std::make_unique<WatchedPort>(w); };
    return openConnection("/dev/" + tty, 38400, options);
  }
  void sendTo(std::uint8_t dest) {
    ASSERT_EQ(varnoSendCommand(dest, kHost, 0, 0, kData, kWriteTimeoutMs, 20000,
                               &CallbackRecorder::callback, false),
              0);
  }
  void pullOut() {
    askHost("unplug");
    waitUntilGone();
  }
  void waitUntilGone() {
    ASSERT_TRUE(waitUntil([&] { return usbTty() != tty_; }, 10s)) << "the adapter stayed";
  }
  // Plugged in while the old terminal may still be held: it comes back under any number.
  void plugBackIn() {
    askHost("plug");
    ASSERT_TRUE(waitUntil([] { return !usbTty().empty(); }, 10s)) << "the adapter stayed away";
  }
  // Closes promptly and cleanly, and leaks nothing; then the adapter, back, works.
  void closeAndUseAgain() {
    const auto start = Clock::now();
    varnoCloseSerialPort();
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(entries("/proc/self/fd"), fds_);
    EXPECT_EQ(threadsAtRest(), threads_);
    const Texts texts = log.take();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "\n interface has been closed");
    for (const std::string& text : texts) EXPECT_EQ(text.find("terminated"), std::string::npos);
    if (usbTty().empty()) plugBackIn();
    const std::string again = usbTty();
    ASSERT_TRUE(open(again)) << again;
    EXPECT_EQ(latencyTimer(again), 1);
    EXPECT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, kData, kWriteTimeoutMs, kReplyTimeoutMs,
                               &CallbackRecorder::callback, true),
              0);
    EXPECT_EQ(recorder.calls().back().error_status, 0);
    varnoCloseSerialPort();
  }

  std::string tty_;
  std::size_t fds_ = 0, threads_ = 0;
  std::shared_ptr<ReadWatch> watch_ = std::make_shared<ReadWatch>();
  DiagnosticLog log;
  CallbackRecorder recorder;
};

TEST_F(UnplugTest, WhileIdleTheNextCommandCannotStart) {
  ASSERT_TRUE(open(tty_));
  pullOut();
  const auto start = Clock::now();
  EXPECT_EQ(varnoSendCommand(kAnswers, kHost, 0, 0, kData, kWriteTimeoutMs, kReplyTimeoutMs,
                             &CallbackRecorder::callback, true),
            4);
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
  closeAndUseAgain();
}

TEST_F(UnplugTest, WhileAwaitingTheReplyTheReadFailsAtOnce) {
  ASSERT_TRUE(open(tty_));
  sendTo(kSilent);
  ASSERT_TRUE(waitUntil([] { return varnoGetSerialPortCurrentState() == kAwaitingReply; }, 5s));
  pullOut();
  const auto gone = Clock::now();
  ASSERT_TRUE(recorder.waitForCalls(1, 5s));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone);
  EXPECT_EQ(recorder.calls()[0].error_status, 4);
  EXPECT_LT(took, kPrompt);
  askHost("figure unplug_to_callback_ms " + std::to_string(took.count()));
  // Back in before the close: the old terminal is still held, so the adapter gets a new number.
  plugBackIn();
  closeAndUseAgain();
}

TEST_F(UnplugTest, InTheMiddleOfAReplyTheReadFailsAtOnce) {
  // The host pulls the adapter out a few bytes into every answer of device 11. On a busy host
  // the emulated machine may see the pull too early (no byte yet; or before the library had
  // dropped RTS after its write, when the control transfer goes to a device QEMU has just taken
  // away and waits out usbcore's 5 s) or too late (the line silent for the inter-byte limit
  // first): such a round is not the middle of a reply, and is tried again with the adapter back.
  for (int round = 1; round <= 6; ++round) {
    ASSERT_TRUE(open(tty_));
    const std::size_t calls = recorder.count();
    const auto start = Clock::now();
    sendTo(kSlowAnswer);
    const bool called = recorder.waitForCalls(calls + 1, 10s);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const std::size_t got = watch_->bytes_read;
    askHost("figure mid_reply round " + std::to_string(round) + " called " +
            std::to_string(called) + " after_ms " + std::to_string(took) + " write_ms " +
            std::to_string(watch_->write_wait_ms) + " reads " +
            std::to_string(watch_->reads_started) + " read_ok " + std::to_string(watch_->read_ok) +
            " bytes " + std::to_string(got) + " state " +
            std::to_string(varnoGetSerialPortCurrentState()) + " adapter " + usbTty());
    ASSERT_TRUE(called);
    const Call call = recorder.calls()[calls];
    waitUntilGone();
    if (watch_->write_wait_ms < kPrompt.count() && watch_->reads_started == 1 && !watch_->read_ok &&
        got > 0 && got < 12) {
      EXPECT_EQ(call.error_status, 4);
      EXPECT_LT(took, kPrompt.count());  // not the reply time-out
      closeAndUseAgain();
      return;
    }
    // Whatever it was, its outcome must say so.
    EXPECT_EQ(call.error_status, watch_->reads_started == 0 || !watch_->read_ok ? 4
                                 : got == 12                                    ? 0
                                                                                : 5);
    varnoCloseSerialPort();
    plugBackIn();
    tty_ = usbTty();
  }
  FAIL() << "the adapter never went in the middle of a reply";
}

}  // namespace
}  // namespace varno::test
