// The Windows port on real devices: pseudo-terminals that com_fixture.py creates on the Linux side
// and links into the Wine prefix as COM ports before it runs these tests. One line echoes what it
// receives, one is never read (writes to it back up, reads from it never end), and one COM name
// leads nowhere. Without the fixture the tests skip.
//
// The ports are opened with RTS control disabled: Wine's serial driver refuses toggling.
#include "ports/serial_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace varno {
namespace {

constexpr auto kGenerous = std::chrono::seconds(10);
constexpr std::uint32_t kGenerousMs = 10000;

std::string portFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

// Opens and configures a port the way a connection does.
void openConfigured(SerialPort& port, const std::string& name) {
  port.createEvents();
  ASSERT_TRUE(port.open(name)) << name;
  EXPECT_TRUE(port.purge(kPurgeAll));
  EXPECT_TRUE(port.saveEventMask());
  EXPECT_TRUE(port.saveLineSettings());
  EXPECT_TRUE(port.saveTimeouts());
  EXPECT_TRUE(port.setQueueSizes(kQueueSize, kQueueSize));
  EXPECT_TRUE(port.applyLineSettings({38400, RtsControl::Disable}));
  EXPECT_TRUE(port.applyTimeouts());
  EXPECT_TRUE(port.applyEventMask());
  EXPECT_TRUE(port.clearErrors());
}

// Closes the way a connection does.
void closeLikeTheConnection(SerialPort& port) {
  port.cancelIo();
  port.purge(kPurgeTxAbort | kPurgeRxAbort);
  port.purge(kPurgeTxClear | kPurgeRxClear);
  port.restoreSettings();
  port.close();
}

bool waitForInput(SerialPort& port, std::uint32_t count) {
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (port.inputCount() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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

  void write(const std::uint8_t* data, std::size_t size) {
    ASSERT_TRUE(port_->purge(kPurgeAll));
    ASSERT_TRUE(port_->startWrite(data, size));
    ASSERT_TRUE(port_->waitWrite(kGenerousMs));
    ASSERT_TRUE(port_->writeResult());
  }

  // The read's own wait has no limit; should the driver's inter-byte time-out not end it, the
  // test fails instead of hanging.
  bool readWithin(std::uint8_t* buffer, std::size_t size, std::size_t& bytes_read) {
    if (!port_->startRead(buffer, size)) return false;
    auto wait = std::async(std::launch::async, [this] { port_->waitRead(); });
    if (wait.wait_for(kGenerous) != std::future_status::ready) {
      port_->abortWaits();
      ADD_FAILURE() << "the read did not end";
      return false;
    }
    return port_->readResult(bytes_read);
  }

  std::string name_;
  std::unique_ptr<SerialPort> port_;
};

TEST_F(PortOnEchoLine, FrameGoesOutAndComesBack) {
  const std::uint8_t frame[12] = {0x81, 0x1F, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x06};
  write(frame, sizeof frame);
  ASSERT_TRUE(waitForInput(*port_, 12));
  std::uint8_t received[12] = {};
  std::size_t bytes_read = 0;
  ASSERT_TRUE(readWithin(received, sizeof received, bytes_read));
  EXPECT_EQ(12u, bytes_read);
  EXPECT_EQ(0, std::memcmp(frame, received, sizeof frame));
  EXPECT_EQ(0u, port_->inputCount());
}

TEST_F(PortOnEchoLine, ShortReplyEndsTheReadAfterTheInterByteSilence) {
  const std::uint8_t part[5] = {0x81, 0x01, 0x02, 0x03, 0x04};
  write(part, sizeof part);
  ASSERT_TRUE(waitForInput(*port_, 5));
  std::uint8_t received[12];
  std::memset(received, 0xEE, sizeof received);
  std::size_t bytes_read = 0;
  ASSERT_TRUE(readWithin(received, sizeof received, bytes_read));
  EXPECT_EQ(5u, bytes_read);
  EXPECT_EQ(0, std::memcmp(part, received, sizeof part));
  for (std::size_t i = 5; i < sizeof received; ++i) EXPECT_EQ(0xEE, received[i]) << i;
}

TEST_F(PortOnEchoLine, PurgeOfTheInputQueueDropsWaitingBytes) {
  const std::uint8_t stray[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  write(stray, sizeof stray);
  ASSERT_TRUE(waitForInput(*port_, 12));
  EXPECT_TRUE(port_->purge(kPurgeRxClear));
  EXPECT_EQ(0u, port_->inputCount());
}

TEST_F(PortOnEchoLine, NothingTouchesTheDeviceAfterClose) {
  port_->close();
  std::uint8_t buffer[12] = {};
  std::size_t bytes_read = 0;
  EXPECT_FALSE(port_->purge(kPurgeAll));
  EXPECT_FALSE(port_->startWrite(buffer, sizeof buffer));
  EXPECT_FALSE(port_->waitWrite(kInfinite));
  EXPECT_FALSE(port_->readResult(bytes_read));
  EXPECT_EQ(0u, port_->inputCount());
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
    ASSERT_FALSE(port_->waitWrite(0)) << "the write should be under way";
  }

  std::string name_;
  std::unique_ptr<SerialPort> port_;
  std::vector<std::uint8_t> flood_ = std::vector<std::uint8_t>(1 << 20, 0x55);
  std::uint8_t buffer_[12] = {};
};

TEST_F(PortOnStalledLine, AbortEndsAWriteWaitInProgress) {
  startStuckWrite();
  auto wait = std::async(std::launch::async, [this] { return port_->waitWrite(kInfinite); });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  port_->abortWaits();
  ASSERT_EQ(std::future_status::ready, wait.wait_for(kGenerous));
  EXPECT_FALSE(wait.get());
  EXPECT_FALSE(port_->waitWrite(kInfinite));
}

TEST_F(PortOnStalledLine, ACancelFromAnotherThreadEndsTheWriteThisThreadStarted) {
  // The worker cancels what the sender's thread started.
  startStuckWrite();
  std::thread([this] { port_->cancelIo(); }).join();
  EXPECT_TRUE(port_->waitWrite(10000)) << "the write is still under way";
  EXPECT_FALSE(port_->writeResult());
}

TEST_F(PortOnStalledLine, AbortEndsAReadWaitInProgress) {
  ASSERT_TRUE(port_->startRead(buffer_, sizeof buffer_));
  auto wait = std::async(std::launch::async, [this] { port_->waitRead(); });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  port_->abortWaits();
  ASSERT_EQ(std::future_status::ready, wait.wait_for(kGenerous));
  std::size_t bytes_read = 0;
  EXPECT_FALSE(port_->readResult(bytes_read));  // never finished
}

TEST_F(PortOnStalledLine, CloseDuringAWaitEndsTheWait) {
  ASSERT_TRUE(port_->startRead(buffer_, sizeof buffer_));
  auto wait = std::async(std::launch::async, [this] { port_->waitRead(); });
  EXPECT_EQ(std::future_status::timeout, wait.wait_for(std::chrono::milliseconds(200)));
  auto close = std::async(std::launch::async, [this] { port_->close(); });
  EXPECT_EQ(std::future_status::ready, close.wait_for(kGenerous)) << "close hangs";
  EXPECT_EQ(std::future_status::ready, wait.wait_for(kGenerous)) << "the wait outlived the close";
}

TEST(PortOnMissingDevice, OpenFails) {
  const std::string name = portFromEnvironment("VARNO_TEST_MISSING_PORT");
  if (name.empty())
    GTEST_SKIP() << "no COM name known to lead nowhere (run through com_fixture.py)";
  auto port = makeSystemSerialPort();
  port->createEvents();
  EXPECT_FALSE(port->open(name));
  EXPECT_FALSE(port->purge(kPurgeAll));
  port->close();
}

}  // namespace
}  // namespace varno
