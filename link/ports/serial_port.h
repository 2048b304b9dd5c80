// The library's whole contact with the serial driver: one port, the operations the connection
// and the transactions are made of. One implementation per platform (serial_port_win32.cpp,
// serial_port_posix.cpp), chosen at build time, and one for lines reached over TCP
// (serial_port_network.cpp); tests substitute fakes.
//
// Every operation but the waits returns at once. Results follow the Windows communications
// interface: false means the platform call failed.
#ifndef VARNO_SERIAL_SERIAL_PORT_H
#define VARNO_SERIAL_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varno {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;  // a wait without limit

// Purge flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x01;
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeTxClear = 0x04;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;
inline constexpr std::uint32_t kPurgeAll = 0x0F;

inline constexpr std::uint32_t kQueueSize = 65534;
inline constexpr std::uint32_t kInterByteTimeoutMs = 10;

// How RTS is driven. The classic open always asks for Toggle (RTS asserted only while bytes are
// being transmitted, for half-duplex transceivers; on Linux raised by hand where the driver has
// no RS-485 mode). Links ask for ToggleWhereSupported: the same, but where the Windows driver
// refuses to toggle RTS the port is still used, with RTS held off (adapters that switch
// direction by themselves need nothing more). Disable exists for the tests under Wine, whose
// serial driver refuses Toggle.
enum class RtsControl { Toggle, ToggleWhereSupported, Disable };

// Why an operation failed, where that tells the user more than which step it was.
enum class PortError {
  kNone,        // nothing more to say than the step that failed
  kNotFound,    // no such device
  kPermission,  // the system denied access
  kInUse,       // another program, or another link of this one, holds the port
  kNotSerial,   // the device is not a serial port
  kResources,   // out of memory, descriptors or events
  kSystem,      // any other error of the system
  kBadName,     // a network port name that is not well formed
};

struct LineSettings {
  std::uint32_t baud_rate = 0;
  RtsControl rts = RtsControl::Toggle;
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Creates the write and read completion events (or their equivalent). Called first; false when
  // the system has none to give.
  virtual bool createEvents() = 0;
  // Opens the device for exclusive, asynchronous use; never creates anything.
  virtual bool open(const std::string& name) = 0;
  // After an open or a setting that failed: why, where the system said more than "refused".
  virtual PortError failure() const { return PortError::kNone; }

  // Abort pending I/O and/or empty the driver queues (kPurge* flags).
  virtual bool purge(std::uint32_t flags) = 0;
  virtual bool saveEventMask() = 0;
  virtual bool saveLineSettings() = 0;
  virtual bool saveTimeouts() = 0;
  virtual bool setQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
  // 8 data bits, no parity, one stop bit, no flow control, DTR off, RTS as asked.
  virtual bool applyLineSettings(const LineSettings& settings) = 0;
  // A read ends when its bytes have come or when more than kInterByteTimeoutMs pass without a
  // byte after the first; no total time-outs.
  virtual bool applyTimeouts() = 0;
  virtual bool applyEventMask() = 0;
  virtual bool clearErrors() = 0;
  // Writes back what the save calls read: event mask, line settings, time-outs. Best effort.
  virtual void restoreSettings() = 0;

  // Starts an asynchronous write; true when it finished at once or is under way.
  virtual bool startWrite(const std::uint8_t* data, std::size_t size) = 0;
  // True when the write has finished within `timeout_ms` (kInfinite: no limit).
  virtual bool waitWrite(std::uint32_t timeout_ms) = 0;
  // After a finished wait: whether the write succeeded. Never waits.
  virtual bool writeResult() = 0;

  // Starts an asynchronous read of up to `size` bytes into `buffer`, which must stay valid until
  // the read has finished or been cancelled; true when it finished at once or is under way.
  virtual bool startRead(std::uint8_t* buffer, std::size_t size) = 0;
  // Waits without limit for the read to end (bytes complete, inter-byte silence, or failure).
  virtual void waitRead() = 0;
  // After the wait: whether the read succeeded, and how many bytes it delivered. Never waits.
  virtual bool readResult(std::size_t& bytes_read) = 0;

  // The number of received bytes waiting in the driver; 0 when the query fails.
  virtual std::uint32_t inputCount() = 0;
  // Between two input counts of the wait for a reply: returns once input is waiting, the line
  // has failed, or `max_ms` has passed, whichever comes first; may return at once.
  virtual void awaitInput(std::uint32_t max_ms) = 0;
  // Abandons the pending reads and writes.
  virtual void cancelIo() = 0;

  // Makes every wait in progress, and every later one, return at once as not finished. Safe to
  // call from any thread while another is inside an operation; used when a worker that will not
  // end is given up.
  virtual void abortWaits() = 0;
  // Releases the read event, the write event and the device, in that order. Waits for an
  // operation in progress on another thread to return; afterwards every operation fails without
  // touching any device.
  virtual void close() = 0;
};

// The port of this platform.
std::unique_ptr<SerialPort> makeSystemSerialPort();
// The port a name asks for: a network port for "tcp://..." and "rfc2217://...", otherwise the
// platform's.
std::unique_ptr<SerialPort> makePortFor(const std::string& name);

}  // namespace varno

#endif  // VARNO_SERIAL_SERIAL_PORT_H
