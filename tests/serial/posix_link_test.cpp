// The link over pseudo-terminals where only a native test can look: the bytes on the wire, a
// device that vanishes, the terminal's settings before and after, exclusive use, leaks.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "os/linux_termios2.h"
#include "support/callback_recorder.h"
#include "support/diagnostic_log.h"
#include "support/test_line.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;

class PosixLinkTest : public ::testing::Test {
 protected:
  void TearDown() override { varnoCloseSerialPort(); }

  TestLine line;
  DiagnosticLog log;
  CallbackRecorder recorder;
};

TEST_F(PosixLinkTest, CommandFramesAreExactOnTheWire) {
  ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400));
  const std::uint8_t zero[4] = {};
  const std::uint8_t data[4] = {0xFF, 0x80, 0x01, 0x02};
  ASSERT_EQ(varnoSendCommand(1, 31, 0, 0, zero, 100, 1000, &CallbackRecorder::callback, true), 0);
  ASSERT_EQ(varnoSendCommand(1, 31, 3, 0, zero, 100, 1000, &CallbackRecorder::callback, true), 0);
  ASSERT_EQ(varnoSendCommand(1, 31, 3, 0x85, data, 100, 1000, &CallbackRecorder::callback, true),
            0);
  // Bit 7 of dest, source and code is not carried.
  const std::uint8_t word[4] = {0x01, 0x02, 0xAB, 0xCD};
  ASSERT_EQ(
      varnoSendCommand(0x85, 0x9F, 0x83, 0x7F, word, 100, 0, &CallbackRecorder::callback, true), 0);
  ASSERT_TRUE(line.sim().waitForFrames(4, 5s));
  const std::vector<std::uint8_t> expected = {
      0x81, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06,  //
      0x81, 0x1F, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61,  //
      0x81, 0x1F, 0x03, 0x05, 0x00, 0x00, 0x7F, 0x00, 0x01, 0x02, 0x19, 0x72,
  };
  const auto received = line.sim().received();
  ASSERT_EQ(received.size(), 48u);
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(received[i], expected[i]) << "byte " << i;
  // The last command's status and error are 0 on the wire, whatever the record held.
  varno::CommandRecord r;
  ASSERT_TRUE(varno::decodeFrame(received.data() + 36, r));
  EXPECT_EQ(r.dest, 0x85);
  EXPECT_EQ(r.source, 0x1F);
  EXPECT_EQ(r.code, 0x03);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.data_arr[3], 0xCD);
}

TEST_F(PosixLinkTest, ADeviceThatVanishesMidReplyEndsTheReadWithAFailure) {
  sim::DeviceBehaviour vanishing;
  vanishing.hang_up_after = 5;
  line.sim().setDevice(20, vanishing);
  ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400));
  const std::uint8_t data[4] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(varnoSendCommand(20, 31, 0, 0, data, 100, 1000, &CallbackRecorder::callback, true), 0);
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(recorder.calls()[0].error_status, kReadFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);  // not the reply time-out

  // The line is gone: the next command cannot even be written.
  EXPECT_EQ(varnoSendCommand(20, 31, 0, 0, data, 100, 1000, &CallbackRecorder::callback, true), 4);
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kIdle);
}

TEST_F(PosixLinkTest, ALineThatGoesAwayBeforeTheReplyFailsAtOnce) {
  ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400));
  const std::uint8_t data[4] = {};
  ASSERT_EQ(
      varnoSendCommand(kSilent, 31, 0, 0, data, 100, 5000, &CallbackRecorder::callback, false), 0);
  std::this_thread::sleep_for(50ms);
  line.sim().hangUp();
  ASSERT_TRUE(recorder.waitForCalls(1, 3s));
  EXPECT_EQ(recorder.calls()[0].error_status, kReadFailed);
}

termios2 terminalSettings(const std::string& path) {
  termios2 t{};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ioctl(fd, TCGETS2, &t), 0);
  close(fd);
  return t;
}

TEST_F(PosixLinkTest, CloseRestoresTheTerminalExactly) {
  // Settings nobody would choose, so that nothing restores them by accident.
  {
    const int fd = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cflag = (t.c_cflag & ~(CSIZE | CBAUD)) | CS7 | PARENB | CSTOPB | CREAD | B1200;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 7;
    cfsetspeed(&t, B1200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
  }
  const termios2 before = terminalSettings(line.port());
  for (const std::uint32_t baud : {38400u, 250000u, 31250u}) {
    ASSERT_TRUE(varnoOpenSerialPort(line.port(), baud)) << baud;
    const termios2 during = terminalSettings(line.port());
    EXPECT_EQ(during.c_ospeed, baud);  // any rate passes through
    EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(during.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    varnoCloseSerialPort();
    const termios2 after = terminalSettings(line.port());
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << baud;
  }
}

TEST_F(PosixLinkTest, BaudRateZeroIsRefused) {
  // B0 would hang the line up; no driver takes it as a speed.
  EXPECT_FALSE(varnoOpenSerialPort(line.port(), 0));
  EXPECT_EQ(log.take(), Texts{"\n openInterface !SetCommState"});
  EXPECT_EQ(varnoGetSerialPortCurrentState(), kClosed);
}

TEST_F(PosixLinkTest, APortAlreadyHeldIsRefusedAndReleasedAfterClose) {
  const int holder = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(varnoOpenSerialPort(line.port(), 38400));
  EXPECT_EQ(log.take(), Texts{"\n openInterface INVALID_HANDLE_VALUE"});
  flock(holder, LOCK_UN);

  ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400));
  // Held by the library: another taker is refused.
  EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), 0);
  varnoCloseSerialPort();
  EXPECT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  // The exclusive flag went with the connection: an ordinary open works again.
  const int another = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(another, 0);
  close(another);
  close(holder);
}

TEST_F(PosixLinkTest, NotATerminalIsRefused) {
  EXPECT_FALSE(varnoOpenSerialPort("/dev/null", 38400));
  EXPECT_EQ(log.take(), Texts{"\n openInterface INVALID_HANDLE_VALUE"});
}

std::size_t entries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

TEST_F(PosixLinkTest, ManyOpenCloseCyclesLeakNothing) {
  // One cycle first, so that whatever is made once per process exists before counting.
  ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400));
  varnoCloseSerialPort();
  log.take();
  const std::size_t fds = entries("/proc/self/fd");
  const std::size_t threads = entries("/proc/self/task");
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(varnoOpenSerialPort(line.port(), 38400)) << i;
    if (i % 100 == 0) {
      const std::uint8_t data[4] = {};
      ASSERT_EQ(
          varnoSendCommand(kAnswers, 31, 0, 0, data, 100, 1000, &CallbackRecorder::callback, true),
          0);
    }
    varnoCloseSerialPort();
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_EQ(recorder.count(), 10u);
  for (const Call& c : recorder.calls()) EXPECT_EQ(c.error_status, 0);
}

}  // namespace
}  // namespace varno::test
