// The port over the Windows communications interface, with overlapped reads and writes.
//
// Two threads use one port: the caller's thread starts writes, the worker waits for them, reads
// and queries. A forced end of the worker (abort, then close from the caller's thread) may
// leave the worker inside any operation, so every operation that touches a handle does so under
// the mutex, and close takes the handles away under the same mutex: a worker that comes back finds
// nothing to touch, not a handle value that the process may have handed out again meanwhile.
// Waits cannot hold the mutex (they would block close for as long as they last); they wait on an
// abort event as well as on their I/O event instead.
#include "ports/serial_port_win32.h"

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "os/platform.h"
#include "ports/port_registry.h"

namespace varno {

DCB makeLineSettingsDcb(const PortSettings& settings) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = settings.baud_rate;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fRtsControl = settings.rts == RtsControl::Disable ? RTS_CONTROL_DISABLE : RTS_CONTROL_TOGGLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return dcb;
}

COMMTIMEOUTS makeCommTimeouts(const PortSettings& settings) {
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = settings.inter_byte_ms;
  return timeouts;
}

namespace {

// How long close lets the driver take to finish the operations it abandons.
constexpr DWORD kSettleLimitMs = 1000;

// The driver writes a block's status when the operation ends, from outside this thread.
bool ioPending(const OVERLAPPED& block) {
  const volatile ULONG_PTR& status = block.Internal;
  return status == STATUS_PENDING;
}

PortError openFailure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_BAD_NETPATH:
      return PortError::kNotFound;
    // A COM port that another program holds answers "access denied": sharing is never allowed.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortError::kInUse;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
      return PortError::kResources;
    default:
      return PortError::kSystem;
  }
}

// The names of the ports this process has open, upper case.
std::mutex& openNamesMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
std::set<std::string>& openNames() {
  static std::set<std::string>* const names = new std::set<std::string>;
  return *names;
}

void releaseHandle(HANDLE& handle) {
  if (handle != nullptr) {
    CloseHandle(handle);
    handle = nullptr;
  }
}

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort()
      : abort_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        abort_event_error_(abort_event_ != nullptr ? 0 : GetLastError()) {
    std::memset(&write_block_, 0, sizeof write_block_);
    std::memset(&read_block_, 0, sizeof read_block_);
    std::memset(&saved_dcb_, 0, sizeof saved_dcb_);
    std::memset(&saved_timeouts_, 0, sizeof saved_timeouts_);
  }

  ~Win32SerialPort() override {
    close();
    releaseHandle(abort_event_);
  }

  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  OpenStatus open(const std::string& name, const PortSettings& settings) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Re-zeroing a block the driver still owns would corrupt the operation under way.
      if (isOpen()) return OpenStatus::failure(OpenStep::kCreateEvents, PortError::kInUse);
    }
    const OpenStatus status = takeLine(name, settings);
    // Only what the open took is given back: the settings it read were never changed, so
    // nothing is written back.
    if (!status.ok()) release();
    return status;
  }

  bool discard() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && PurgeComm(port_, kPurgeEverything) != FALSE;
  }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isOpen() || size > MAXDWORD) return false;
    if (WriteFile(port_, data, static_cast<DWORD>(size), nullptr, &write_block_) != FALSE) {
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING;
  }

  WaitResult finishWrite(std::uint32_t timeout_ms) override {
    const WaitResult waited = waitFor(write_block_, timeout_ms);
    if (waited != WaitResult::kDone) return waited;
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD written = 0;
    const bool ok = isOpen() && GetOverlappedResult(port_, &write_block_, &written, FALSE) != FALSE;
    return ok ? WaitResult::kDone : WaitResult::kFailed;
  }

  // The count is cheap and the driver delivers bytes whatever the waiting thread does: the count
  // is asked again at once, and the wait ends at the first count that finds a byte. A count the
  // driver refuses is taken as none waiting, so an unplugged adapter shows as silence until the
  // time is up. The time is taken before each count, so a count begun after the deadline is the
  // last one: a thread that was not scheduled for a while still gets its look at the line.
  WaitResult awaitInput(std::uint32_t timeout_ms) override {
    if (!enterWait()) return aborted_.load() ? WaitResult::kAborted : WaitResult::kFailed;
    const std::uint32_t start = millisecondClock();
    WaitResult result = WaitResult::kTimedOut;
    for (;;) {
      const std::uint32_t queried_at = millisecondClock();
      if (aborted_.load()) {
        result = WaitResult::kAborted;
        break;
      }
      if (inputCount() > 0) {
        result = WaitResult::kDone;
        break;
      }
      if (timeout_ms != kInfinite && queried_at - start >= timeout_ms) break;
    }
    leaveWait();
    return result;
  }

  // The inter-byte limit set at open ends the read; its wait has no limit of its own.
  bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    received = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!isOpen() || size > MAXDWORD) return false;
      if (ReadFile(port_, buffer, static_cast<DWORD>(size), nullptr, &read_block_) == FALSE &&
          GetLastError() != ERROR_IO_PENDING) {
        return false;
      }
    }
    waitFor(read_block_, INFINITE);
    // An aborted wait leaves the read under way, and the result says so: it never waits.
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD count = 0;
    const bool ok = isOpen() && GetOverlappedResult(port_, &read_block_, &count, FALSE) != FALSE;
    received = count;
    return ok;
  }

  // Each operation by its own block: a write is started on the caller's thread and may be
  // cancelled from the worker, and CancelIo reaches only the calling thread's operations.
  void cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isOpen()) return;
    CancelIoEx(port_, &write_block_);
    CancelIoEx(port_, &read_block_);
  }

  void abort() override {
    aborted_.store(true);
    if (abort_event_ != nullptr) SetEvent(abort_event_);
  }

  void close() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (isOpen()) {
        PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT);
        PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR);
        // Only what was actually read is written back: a zeroed DCB would leave the port
        // unusable.
        if (mask_saved_) SetCommMask(port_, saved_mask_);
        if (dcb_saved_) SetCommState(port_, &saved_dcb_);
        if (timeouts_saved_) SetCommTimeouts(port_, &saved_timeouts_);
      }
    }
    release();
  }

 private:
  static constexpr DWORD kPurgeEverything =
      PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

  bool isOpen() const { return port_ != INVALID_HANDLE_VALUE; }

  // The platform calls in the order the classic open made them; each failure names its step.
  OpenStatus takeLine(const std::string& name, const PortSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD error = 0;
    const auto makeEvent = [&error] {
      HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
      if (event == nullptr && error == 0) error = GetLastError();
      return event;
    };
    std::memset(&write_block_, 0, sizeof write_block_);
    write_block_.hEvent = makeEvent();
    std::memset(&read_block_, 0, sizeof read_block_);
    read_block_.hEvent = makeEvent();
    if (abort_event_ == nullptr) error = abort_event_error_;
    if (abort_event_ == nullptr || write_block_.hEvent == nullptr ||
        read_block_.hEvent == nullptr) {
      return OpenStatus::failure(OpenStep::kCreateEvents, PortError::kResources,
                                 static_cast<int>(error));
    }

    // After a forced end a worker may still come back into this object; it must not find a device
    // that belongs to a later connection.
    if (aborted_.load()) return OpenStatus::failure(OpenStep::kOpenDevice);
    const std::string path = "\\\\.\\" + name;
    port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    if (!isOpen()) {
      error = GetLastError();
      return OpenStatus::failure(OpenStep::kOpenDevice, openFailure(error),
                                 static_cast<int>(error));
    }
    // Sharing mode 0 keeps other programs out; this process's other links are kept out here
    // (not every driver refuses a second open from the same process).
    if (!claimName(name)) {
      CloseHandle(port_);
      port_ = INVALID_HANDLE_VALUE;
      return OpenStatus::failure(OpenStep::kOpenDevice, PortError::kInUse);
    }

    if (PurgeComm(port_, kPurgeEverything) == FALSE) return refusedBySerialCall(OpenStep::kPurge);
    mask_saved_ = GetCommMask(port_, &saved_mask_) != FALSE;
    if (!mask_saved_) return refusedBySerialCall(OpenStep::kReadEventMask);
    std::memset(&saved_dcb_, 0, sizeof saved_dcb_);
    saved_dcb_.DCBlength = sizeof(DCB);
    dcb_saved_ = GetCommState(port_, &saved_dcb_) != FALSE;
    if (!dcb_saved_) return refused(OpenStep::kReadLineSettings);
    timeouts_saved_ = GetCommTimeouts(port_, &saved_timeouts_) != FALSE;
    if (!timeouts_saved_) return refused(OpenStep::kReadTimeouts);
    if (SetupComm(port_, kQueueSize, kQueueSize) == FALSE) {
      return refused(OpenStep::kSetQueueSizes);
    }
    if (!applyLineSettings(settings)) return refused(OpenStep::kApplyLineSettings);
    COMMTIMEOUTS timeouts = makeCommTimeouts(settings);
    if (SetCommTimeouts(port_, &timeouts) == FALSE) return refused(OpenStep::kApplyTimeouts);
    if (SetCommMask(port_, EV_RXCHAR) == FALSE) return refused(OpenStep::kApplyEventMask);
    if (ClearCommError(port_, nullptr, nullptr) == FALSE) return refused(OpenStep::kClearErrors);
    return {};
  }

  bool applyLineSettings(const PortSettings& settings) {
    DCB dcb = makeLineSettingsDcb(settings);
    if (SetCommState(port_, &dcb) != FALSE) return true;
    if (settings.rts != RtsControl::ToggleWhereSupported) return false;
    // A driver without RTS toggling: the port is used with RTS held off.
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(port_, &dcb) != FALSE;
  }

  static OpenStatus refused(OpenStep step) {
    return OpenStatus::failure(step, PortError::kNone, static_cast<int>(GetLastError()));
  }

  // The first requests only a serial driver answers: a device that takes none at all (a file, a
  // pipe, NUL) is not a serial port.
  OpenStatus refusedBySerialCall(OpenStep step) {
    const DWORD error = GetLastError();
    const bool not_serial = error == ERROR_INVALID_FUNCTION || GetFileType(port_) != FILE_TYPE_CHAR;
    return OpenStatus::failure(step, not_serial ? PortError::kNotSerial : PortError::kNone,
                               static_cast<int>(error));
  }

  // The number of received bytes waiting in the driver; 0 when the query fails.
  std::uint32_t inputCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!isOpen() || ClearCommError(port_, &errors, &status) == FALSE) return 0;
    return status.cbInQue;
  }

  bool claimName(const std::string& name) {
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> lock(openNamesMutex());
    if (!openNames().insert(key).second) return false;
    claimed_name_ = key;
    return true;
  }

  void releaseName() {
    if (claimed_name_.empty()) return;
    std::lock_guard<std::mutex> lock(openNamesMutex());
    openNames().erase(claimed_name_);
    claimed_name_.clear();
  }

  // A wait is counted while it runs, so that close can end it before releasing what it uses.
  // False, and nothing counted, after an abort or without the device.
  bool enterWait() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (aborted_.load() || !isOpen()) return false;
    ++waits_in_progress_;
    return true;
  }

  void leaveWait() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --waits_in_progress_;
    }
    waits_ended_.notify_all();
  }

  // The abort event comes first: when both are signalled the wait reports the abort, and the I/O
  // event is not looked at.
  WaitResult waitFor(const OVERLAPPED& block, DWORD timeout_ms) {
    HANDLE handles[2] = {abort_event_, nullptr};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (aborted_.load()) return WaitResult::kAborted;
      if (block.hEvent == nullptr) return WaitResult::kFailed;
      handles[1] = block.hEvent;
      ++waits_in_progress_;
    }
    const bool abortable = abort_event_ != nullptr;
    const DWORD count = abortable ? 2 : 1;
    const DWORD result =
        WaitForMultipleObjects(count, abortable ? handles : handles + 1, FALSE, timeout_ms);
    leaveWait();
    if (result == WAIT_OBJECT_0 + count - 1) return WaitResult::kDone;
    if (abortable && result == WAIT_OBJECT_0) return WaitResult::kAborted;
    if (result == WAIT_TIMEOUT) return WaitResult::kTimedOut;
    return WaitResult::kFailed;
  }

  // What the classic close did after its cancel and restore, and what a failed open gives back:
  // the read event, the write event and the device, in that order.
  void release() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waits_in_progress_ > 0 && abort_event_ != nullptr) {
      // A wait left running would be waiting on a handle that is about to be closed and may be
      // reused: end it as a forced end would, and let it leave before anything is released.
      abort();
      waits_ended_.wait(lock, [this] { return waits_in_progress_ == 0; });
    }
    if (isOpen()) settlePendingIo();
    releaseHandle(read_block_.hEvent);
    releaseHandle(write_block_.hEvent);
    if (isOpen()) {
      CloseHandle(port_);
      port_ = INVALID_HANDLE_VALUE;
      releaseName();
    }
    mask_saved_ = false;
    dcb_saved_ = false;
    timeouts_saved_ = false;
  }

  // The driver writes into a block until it has finished with the operation, so neither block may
  // outlive its device while an operation is under way. The purge before closing normally ends
  // them; CancelIoEx ends what is left whichever thread started it (CancelIo only reaches the
  // calling thread's). A cancel can miss an operation that the driver is just resuming (Wine does
  // this after a purge or a change of settings), so it is repeated until both blocks are settled.
  void settlePendingIo() {
    const DWORD start = GetTickCount();
    while (ioPending(write_block_) || ioPending(read_block_)) {
      if (GetTickCount() - start >= kSettleLimitMs) return;
      CancelIoEx(port_, nullptr);
      Sleep(1);
    }
  }

  std::mutex mutex_;
  std::condition_variable waits_ended_;
  int waits_in_progress_ = 0;
  std::atomic<bool> aborted_{false};
  HANDLE abort_event_;  // lives as long as the port object, so abort never races a close
  DWORD abort_event_error_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  OVERLAPPED write_block_;
  OVERLAPPED read_block_;
  DWORD saved_mask_ = 0;
  DCB saved_dcb_;
  COMMTIMEOUTS saved_timeouts_;
  bool mask_saved_ = false;
  bool dcb_saved_ = false;
  bool timeouts_saved_ = false;
  std::string claimed_name_;
};

}  // namespace

std::unique_ptr<SerialPort> makeSystemSerialPort() {
  return std::make_unique<Win32SerialPort>();
}

}  // namespace varno
