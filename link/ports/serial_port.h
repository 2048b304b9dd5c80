// What a transaction does with a line whose bytes the library moves, and nothing more: open it,
// empty its queues, write a command by a deadline, wait for the first byte of the reply, read the
// reply, give up. One implementation per way of reaching a line: the Linux terminal
// (serial_port_linux.cpp), the Windows COM port (serial_port_win32.cpp), a line behind a TCP
// server (network/network_port.cpp); ports/port_registry.cpp makes the one a name asks for. Tests
// substitute fakes.
//
// Threads: one thread at a time drives a port (the link's sender, then its worker); abort() may
// be called from any other thread at any moment, close() once nothing drives it any more.
#ifndef VARNO_PORTS_SERIAL_PORT_H
#define VARNO_PORTS_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varno {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;  // a wait without limit

// The driver's queues the Windows port asks for.
inline constexpr std::uint32_t kQueueSize = 65534;
// A local line's read ends when this long passes without a byte after the first.
inline constexpr std::uint32_t kInterByteTimeoutMs = 10;

// How RTS is driven. The classic open always asks for Toggle (RTS asserted only while bytes are
// being transmitted, for half-duplex transceivers; on Linux raised by hand where the driver has
// no RS-485 mode). Links ask for ToggleWhereSupported: the same, but where the Windows driver
// refuses to toggle RTS the port is still used, with RTS held off (adapters that switch
// direction by themselves need nothing more). Disable exists for the tests under Wine, whose
// serial driver refuses Toggle.
enum class RtsControl { Toggle, ToggleWhereSupported, Disable };

struct PortSettings {
  std::uint32_t baud_rate = 0;
  RtsControl rts = RtsControl::Toggle;
  // A read ends once this long passes without a byte after the first. Ports over a network are
  // given theirs by their name (inter_byte_timeout), since packets bunch bytes together.
  std::uint32_t inter_byte_ms = kInterByteTimeoutMs;
};

// Why an open failed, where that tells the user more than which step it was.
enum class PortError {
  kNone,        // nothing more to say than the step that failed
  kNotFound,    // no such device or host
  kPermission,  // the system denied access
  kInUse,       // another program, or another link of this one, holds the port
  kNotSerial,   // the device is not a serial port (or the server not what the name says)
  kResources,   // out of memory, descriptors or events
  kSystem,      // any other error of the system
  kBadName,     // a network port name that is not well formed
};

// The steps of an open, in the order the Windows port takes them (each named for its platform
// call there). The other ports have fewer steps and report only those they have; the classic
// interface logs a fixed text for each (core/classic_policy.cpp).
enum class OpenStep {
  kNone,               // the open succeeded
  kCreateEvents,       // CreateEvent: the completion events, or the abort event
  kOpenDevice,         // CreateFile: the device, or the connection and its negotiation
  kPurge,              // PurgeComm
  kReadEventMask,      // GetCommMask
  kReadLineSettings,   // GetCommState: also what the close restores
  kReadTimeouts,       // GetCommTimeouts
  kSetQueueSizes,      // SetupComm
  kApplyLineSettings,  // SetCommState: rate, 8N1, no flow control, DTR off, RTS as asked
  kApplyTimeouts,      // SetCommTimeouts
  kApplyEventMask,     // SetCommMask
  kClearErrors,        // ClearCommError
};

struct OpenStatus {
  OpenStep failed = OpenStep::kNone;
  PortError error = PortError::kNone;
  int system_error = 0;  // errno, or GetLastError(); 0 where the system said nothing

  bool ok() const { return failed == OpenStep::kNone; }
  static OpenStatus failure(OpenStep step, PortError error = PortError::kNone, int system = 0) {
    return {step, error, system};
  }
};

// How a wait ended.
enum class WaitResult {
  kDone,      // the write has finished, or a byte of input is waiting
  kTimedOut,  // the time given ran out first
  kFailed,    // the write failed, or the line has gone (hung up, unplugged, connection lost)
  kAborted,   // abort() was called
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens `name` for exclusive use with `settings`; on failure everything taken is released again
  // and the status says which step failed and why. An open may block (a network connection and
  // its negotiation) but abort() ends it.
  virtual OpenStatus open(const std::string& name, const PortSettings& settings) = 0;

  // Empties both of the driver's queues, bytes on their way out and bytes received: stray or late
  // bytes of an earlier reply included. False when the line refuses.
  virtual bool discard() = 0;

  // Starts writing `size` bytes, which must stay valid until the write has been finished or
  // cancelled. Never blocks; false when the write could not be started.
  virtual bool startWrite(const std::uint8_t* data, std::size_t size) = 0;
  // Waits up to `timeout_ms` (kInfinite: no limit) for the write to end: kDone once the bytes
  // have left (the last stop bit, where RTS is driven by hand), kTimedOut, kFailed or kAborted.
  virtual WaitResult finishWrite(std::uint32_t timeout_ms) = 0;

  // Waits up to `timeout_ms` (kInfinite: no limit) for a byte of input: kDone when one is
  // waiting, kTimedOut, kFailed when the line has gone, kAborted.
  virtual WaitResult awaitInput(std::uint32_t timeout_ms) = 0;
  // Reads into `buffer` until `size` bytes have come or the line falls silent for the inter-byte
  // time after a byte; `received` says how many came. False when the line failed or the read was
  // aborted (`received` still says what came before).
  virtual bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) = 0;

  // Abandons a write under way (and, on Windows, any pending operation of the port).
  virtual void cancel() = 0;
  // Makes every wait in progress, and every later one, end at once (kAborted, or a failed read).
  // Any thread, lock-free, at any moment; used by a close, and when a worker that will not end
  // is given up.
  virtual void abort() = 0;
  // Ends the use of the line: what is under way abandoned, the queues emptied, the settings the
  // open found written back (best effort), everything released. Waits for an operation in
  // progress on another thread to return; afterwards every operation fails without touching any
  // device. Called more than once, the later calls do nothing.
  virtual void close() = 0;
};

}  // namespace varno

#endif  // VARNO_PORTS_SERIAL_PORT_H
