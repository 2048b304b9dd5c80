// The Windows port on real devices: pseudo-terminals that com_fixture.py creates on the Linux side
// and links into the Wine prefix as COM ports before it runs these tests. One line echoes what it
// receives, one is never read (writes to it back up, reads from it never end), and one COM name
// leads nowhere. Without the fixture the tests skip.
//
// The ports are opened with RTS control disabled: Wine's serial driver refuses toggling.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ports/port_registry.h"
#include "ports/serial_port.h"

namespace varno {
namespace {

constexpr auto kGenerous = std::chrono::seconds(10);
constexpr std::uint32_t kGenerousMs = 10000;

std::string portFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

const PortSettings kSettings{38400, RtsControl::Disable};

void openConfigured(SerialPort& port, const std::string& name) {
  const OpenStatus status = port.open(name, kSettings);
  ASSERT_TRUE(status.ok()) << name << " failed at step " << static_cast<int>(status.failed)
                           << ", system error " << status.system_error;
}

// Closes the way a connection does.
void closeLikeTheConnection(SerialPort& port) {
  port.cancel();
  port.close();
}

class PortOnEchoLine : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = portFromEnvironment("VARNO_TEST_ECHO_PORT");
    if (name_.empty()) GTEST_SKIP() << "no echoing line (run through com_fixture.py)";
    port_ = makeSystemSerialPort();
    openConfigured(*port_, name_);
  }
  void TearDown() override {
    if (port_ != nullptr) closeLikeTheConnection(*port_);
  }

  // Written the way a transaction writes, the reply then waited for.
  void exchange(const std::uint8_t* data, std::size_t size) {
    ASSERT_TRUE(port_->discard());
    ASSERT_TRUE(port_->startWrite(data, size));
    ASSERT_EQ(WaitResult::kDone, port_->finishWrite(kGenerousMs));
    ASSERT_EQ(WaitResult::kDone, port_->awaitInput(kGenerousMs));
  }

  // The read's own wait has no limit; should the driver's inter-byte time-out not end it, the
  // test fails instead of hanging.
  bool readWithin(std::uint8_t* buffer, std::size_t size, std::size_t& received) {
    auto read = std::async(std::launch::async, [this, buffer, size, &received] {
      return port_->read(buffer, size, received);
    });
    if (read.wait_for(kGenerous) != std::future_status::ready) {
      port_->abort();
      ADD_FAILURE() << "the read did not end";
    }
    return read.get();
  }

  std::string name_;
  std::unique_ptr<SerialPort> port_;
};

TEST_F(PortOnEchoLine, FrameGoesOutAndComesBack) {
  const std::uint8_t frame[12] = {0x81, 0x1F, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x06};
  // Before any write the completion event is set: nothing to wait for.
  EXPECT_EQ(WaitResult::kDone, port_->finishWrite(0));
  exchange(frame, sizeof frame);
  std::uint8_t received[12] = {};
  std::size_t bytes_read = 0;
  ASSERT_TRUE(readWithin(received, sizeof received, bytes_read));
  EXPECT_EQ(12u, bytes_read);
  EXPECT_EQ(0, std::memcmp(frame, received, sizeof frame));
  EXPECT_EQ(WaitResult::kTimedOut, port_->awaitInput(0));  // one look, and nothing left
}

TEST_F(PortOnEchoLine, ShortReplyEndsTheReadAfterTheInterByteSilence) {
  const std::uint8_t part[5] = {0x81, 0x01, 0x02, 0x03, 0x04};
  exchange(part, sizeof part);
  std::uint8_t received[12];
  std::memset(received, 0xEE, sizeof received);
  std::size_t bytes_read = 0;
  ASSERT_TRUE(readWithin(received, sizeof received, bytes_read));
  EXPECT_EQ(5u, bytes_read);
  EXPECT_EQ(0, std::memcmp(part, received, sizeof part));
  for (std::size_t i = 5; i < sizeof received; ++i) EXPECT_EQ(0xEE, received[i]) << i;
}

TEST_F(PortOnEchoLine, DiscardDropsWaitingBytes) {
  // The echo comes back in one piece: the terminal passes on each write whole.
  const std::uint8_t stray[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  exchange(stray, sizeof stray);
  EXPECT_TRUE(port_->discard());
  EXPECT_EQ(WaitResult::kTimedOut, port_->awaitInput(50));
}

TEST_F(PortOnEchoLine, TheInterByteTimeIsTheOneTheSettingsGive) {
  closeLikeTheConnection(*port_);
  port_ = makeSystemSerialPort();
  PortSettings settings = kSettings;
  settings.inter_byte_ms = 400;
  ASSERT_TRUE(port_->open(name_, settings).ok());
  const std::uint8_t part[5] = {0x81, 0x01, 0x02, 0x03, 0x04};
  exchange(part, sizeof part);
  std::uint8_t received[12] = {};
  std::size_t bytes_read = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(readWithin(received, sizeof received, bytes_read));
  EXPECT_EQ(5u, bytes_read);
  // Measured from after the bytes came, so at least the silence the settings ask for.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

TEST_F(PortOnEchoLine, AbortEndsTheWaitForInput) {
  auto wait = std::async(std::launch::async, [this] { return port_->awaitInput(kInfinite); });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  port_->abort();
  ASSERT_EQ(std::future_status::ready, wait.wait_for(kGenerous));
  EXPECT_EQ(WaitResult::kAborted, wait.get());
}

TEST_F(PortOnEchoLine, AFailedOpenReleasesWhatItTookAndAGivenUpPortStaysClosed) {
  // Wine's driver refuses RTS toggling: the open fails at the line settings, and releases the
  // device and its claim on the name, so that the next open finds the line free.
  closeLikeTheConnection(*port_);
  port_ = makeSystemSerialPort();
  const OpenStatus refused = port_->open(name_, {38400, RtsControl::Toggle});
  EXPECT_EQ(OpenStep::kApplyLineSettings, refused.failed);
  EXPECT_NE(0, refused.system_error);
  // ToggleWhereSupported falls back to RTS held off.
  ASSERT_TRUE(port_->open(name_, {38400, RtsControl::ToggleWhereSupported}).ok());
  closeLikeTheConnection(*port_);

  auto given_up = makeSystemSerialPort();
  given_up->abort();
  EXPECT_EQ(OpenStep::kOpenDevice, given_up->open(name_, kSettings).failed);
  openConfigured(*port_, name_);  // nor did the open of the port given up
}

TEST_F(PortOnEchoLine, NothingTouchesTheDeviceAfterClose) {
  port_->close();
  std::uint8_t buffer[12] = {};
  std::size_t bytes_read = 0;
  EXPECT_FALSE(port_->discard());
  EXPECT_FALSE(port_->startWrite(buffer, sizeof buffer));
  EXPECT_EQ(WaitResult::kFailed, port_->finishWrite(kInfinite));
  EXPECT_EQ(WaitResult::kFailed, port_->awaitInput(kInfinite));
  EXPECT_FALSE(port_->read(buffer, sizeof buffer, bytes_read));
  port_.reset();
}

class PortOnStalledLine : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = portFromEnvironment("VARNO_TEST_STALLED_PORT");
    if (name_.empty()) GTEST_SKIP() << "no stalled line (run through com_fixture.py)";
    port_ = makeSystemSerialPort();
    openConfigured(*port_, name_);
  }
  void TearDown() override {
    if (port_ == nullptr) return;
    // Closing with an operation under way must not hang, whatever the test left behind.
    auto close = std::async(std::launch::async, [this] { closeLikeTheConnection(*port_); });
    EXPECT_EQ(std::future_status::ready, close.wait_for(kGenerous)) << "close hangs";
  }

  // A write far larger than the terminal's buffers: with nobody reading the line it cannot end.
  void startStuckWrite() {
    ASSERT_TRUE(port_->startWrite(flood_.data(), flood_.size()));
    ASSERT_EQ(WaitResult::kTimedOut, port_->finishWrite(0)) << "the write should be under way";
  }

  std::string name_;
  std::unique_ptr<SerialPort> port_;
  std::vector<std::uint8_t> flood_ = std::vector<std::uint8_t>(1 << 20, 0x55);
  std::uint8_t buffer_[12] = {};
};

TEST_F(PortOnStalledLine, AbortEndsAWriteWaitInProgress) {
  startStuckWrite();
  auto wait = std::async(std::launch::async, [this] { return port_->finishWrite(kInfinite); });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  port_->abort();
  ASSERT_EQ(std::future_status::ready, wait.wait_for(kGenerous));
  EXPECT_EQ(WaitResult::kAborted, wait.get());
  EXPECT_EQ(WaitResult::kAborted, port_->finishWrite(kInfinite));
}

TEST_F(PortOnStalledLine, ACancelFromAnotherThreadEndsTheWriteThisThreadStarted) {
  // The worker cancels what the sender's thread started.
  startStuckWrite();
  std::thread([this] { port_->cancel(); }).join();
  EXPECT_EQ(WaitResult::kFailed, port_->finishWrite(kGenerousMs));
}

TEST_F(PortOnStalledLine, AbortEndsAReadInProgress) {
  std::size_t received = 99;
  auto read = std::async(std::launch::async, [this, &received] {
    return port_->read(buffer_, sizeof buffer_, received);
  });
  EXPECT_EQ(std::future_status::timeout, read.wait_for(std::chrono::milliseconds(200)));
  port_->abort();
  ASSERT_EQ(std::future_status::ready, read.wait_for(kGenerous));
  EXPECT_FALSE(read.get());  // never finished
  EXPECT_EQ(0u, received);
}

TEST_F(PortOnStalledLine, CloseDuringAWaitEndsTheWait) {
  std::size_t received = 0;
  auto wait = std::async(std::launch::async, [this, &received] {
    return port_->read(buffer_, sizeof buffer_, received);
  });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  auto close = std::async(std::launch::async, [this] { port_->close(); });
  EXPECT_EQ(std::future_status::ready, close.wait_for(kGenerous)) << "close hangs";
  EXPECT_EQ(std::future_status::ready, wait.wait_for(kGenerous)) << "the wait outlived the close";
}

TEST(PortOnMissingDevice, OpenFailsAtTheDevice) {
  const std::string name = portFromEnvironment("VARNO_TEST_MISSING_PORT");
  if (name.empty())
    GTEST_SKIP() << "no COM name known to lead nowhere (run through com_fixture.py)";
  auto port = makeSystemSerialPort();
  const OpenStatus status = port->open(name, kSettings);
  EXPECT_EQ(OpenStep::kOpenDevice, status.failed);
  EXPECT_NE(0, status.system_error);
  EXPECT_FALSE(port->discard());
  port->close();
}

}  // namespace
}  // namespace varno
