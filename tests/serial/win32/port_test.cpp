// The Windows port without a device: what it does before an open, after a failed one, and how
// its waits answer a forced end. The tests over pseudo-terminals are in port_device_test.cpp.
#include "ports/serial_port.h"

#include <gtest/gtest.h>

#include <future>

namespace varno {
namespace {

// INVALID_HANDLE_VALUE is also the handle of the current process: an operation that passed it on
// would be acting on something, so every one must refuse before reaching the system.
void expectEveryOperationRefused(SerialPort& port) {
  std::uint8_t buffer[12] = {};
  std::size_t bytes_read = 99;
  EXPECT_FALSE(port.purge(kPurgeAll));
  EXPECT_FALSE(port.saveEventMask());
  EXPECT_FALSE(port.saveLineSettings());
  EXPECT_FALSE(port.saveTimeouts());
  EXPECT_FALSE(port.setQueueSizes(kQueueSize, kQueueSize));
  EXPECT_FALSE(port.applyLineSettings({38400, RtsControl::Disable}));
  EXPECT_FALSE(port.applyTimeouts());
  EXPECT_FALSE(port.applyEventMask());
  EXPECT_FALSE(port.clearErrors());
  EXPECT_FALSE(port.startWrite(buffer, sizeof buffer));
  EXPECT_FALSE(port.writeResult());
  EXPECT_FALSE(port.startRead(buffer, sizeof buffer));
  EXPECT_FALSE(port.readResult(bytes_read));
  EXPECT_EQ(0u, bytes_read);
  EXPECT_EQ(0u, port.inputCount());
  port.cancelIo();
  port.restoreSettings();
}

TEST(Win32Port, OpeningADeviceThatDoesNotExistFails) {
  auto port = makeSystemSerialPort();
  port->createEvents();
  expectEveryOperationRefused(*port);  // before any open
  EXPECT_FALSE(port->open("varno-no-such-device"));
  expectEveryOperationRefused(*port);
  port->close();
  port->close();  // a second close finds nothing left to release
}

TEST(Win32Port, CompletionEventsStartSignalled) {
  // Before any I/O the worker must not wait for a write that was never started.
  auto port = makeSystemSerialPort();
  EXPECT_FALSE(port->waitWrite(0));  // no events yet
  port->createEvents();
  EXPECT_TRUE(port->waitWrite(0));
  EXPECT_TRUE(port->waitWrite(kInfinite));
  port->close();
  EXPECT_FALSE(port->waitWrite(kInfinite));  // released with the port: returns, and as unfinished
}

TEST(Win32Port, AbortMakesEveryLaterWaitUnfinished) {
  auto port = makeSystemSerialPort();
  port->createEvents();
  port->abortWaits();
  // Even with its event signalled, a wait after the abort reports nothing finished.
  EXPECT_FALSE(port->waitWrite(kInfinite));
  EXPECT_FALSE(port->waitWrite(0));
  auto read = std::async(std::launch::async, [&port] { port->waitRead(); });
  EXPECT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(10)));
  // A port given up on stays given up: the abandoned worker could still reach a new device.
  EXPECT_FALSE(port->open("varno-no-such-device"));
  port->close();
}

}  // namespace
}  // namespace varno
