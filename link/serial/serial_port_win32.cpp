// The port over the Windows communications interface, with overlapped reads and writes.
//
// Two threads use one port: the caller's thread starts writes, the worker waits for them, reads
// and queries. A forced end of the worker (abortWaits, then close from the caller's thread) may
// leave the worker inside any operation, so every operation that touches a handle does so under
// the mutex, and close takes the handles away under the same mutex: a worker that comes back finds
// nothing to touch, not a handle value that the process may have handed out again meanwhile.
// Waits cannot hold the mutex (they would block close for as long as they last); they wait on an
// abort event as well as on their I/O event instead.
#include "serial/serial_port_win32.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace varno {

DCB makeLineSettingsDcb(const LineSettings& settings) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = settings.baud_rate;
  dcb.fBinary = TRUE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fRtsControl = settings.rts == RtsControl::Toggle ? RTS_CONTROL_TOGGLE : RTS_CONTROL_DISABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return dcb;
}

COMMTIMEOUTS makeCommTimeouts() {
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = kInterByteTimeoutMs;
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

void releaseHandle(HANDLE& handle) {
  if (handle != nullptr) {
    CloseHandle(handle);
    handle = nullptr;
  }
}

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort() : abort_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
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

  void createEvents() override {
    std::lock_guard<std::mutex> lock(mutex_);
    // Re-zeroing a block the driver still owns would corrupt the operation under way.
    if (isOpen()) return;
    releaseHandle(read_block_.hEvent);
    releaseHandle(write_block_.hEvent);
    std::memset(&write_block_, 0, sizeof write_block_);
    write_block_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    std::memset(&read_block_, 0, sizeof read_block_);
    read_block_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  }

  bool open(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // After a forced end a worker may still come back into this object; it must not find a device
    // that belongs to a later connection.
    if (aborted_.load() || isOpen()) return false;
    const std::string path = "\\\\.\\" + name;
    port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    return isOpen();
  }

  bool purge(std::uint32_t flags) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && PurgeComm(port_, flags) != FALSE;
  }

  bool saveEventMask() override {
    std::lock_guard<std::mutex> lock(mutex_);
    mask_saved_ = isOpen() && GetCommMask(port_, &saved_mask_) != FALSE;
    return mask_saved_;
  }

  bool saveLineSettings() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memset(&saved_dcb_, 0, sizeof saved_dcb_);
    saved_dcb_.DCBlength = sizeof(DCB);
    dcb_saved_ = isOpen() && GetCommState(port_, &saved_dcb_) != FALSE;
    return dcb_saved_;
  }

  bool saveTimeouts() override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_saved_ = isOpen() && GetCommTimeouts(port_, &saved_timeouts_) != FALSE;
    return timeouts_saved_;
  }

  bool setQueueSizes(std::uint32_t input, std::uint32_t output) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && SetupComm(port_, input, output) != FALSE;
  }

  bool applyLineSettings(const LineSettings& settings) override {
    DCB dcb = makeLineSettingsDcb(settings);
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && SetCommState(port_, &dcb) != FALSE;
  }

  bool applyTimeouts() override {
    COMMTIMEOUTS timeouts = makeCommTimeouts();
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && SetCommTimeouts(port_, &timeouts) != FALSE;
  }

  bool applyEventMask() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && SetCommMask(port_, EV_RXCHAR) != FALSE;
  }

  bool clearErrors() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return isOpen() && ClearCommError(port_, nullptr, nullptr) != FALSE;
  }

  void restoreSettings() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isOpen()) return;
    // Only what was actually read is written back: a zeroed DCB would leave the port unusable.
    if (mask_saved_) SetCommMask(port_, saved_mask_);
    if (dcb_saved_) SetCommState(port_, &saved_dcb_);
    if (timeouts_saved_) SetCommTimeouts(port_, &saved_timeouts_);
  }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isOpen() || size > MAXDWORD) return false;
    if (WriteFile(port_, data, static_cast<DWORD>(size), nullptr, &write_block_) != FALSE) {
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING;
  }

  bool waitWrite(std::uint32_t timeout_ms) override { return waitFor(write_block_, timeout_ms); }

  bool writeResult() override {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD written = 0;
    return isOpen() && GetOverlappedResult(port_, &write_block_, &written, FALSE) != FALSE;
  }

  bool startRead(std::uint8_t* buffer, std::size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isOpen() || size > MAXDWORD) return false;
    if (ReadFile(port_, buffer, static_cast<DWORD>(size), nullptr, &read_block_) != FALSE) {
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING;
  }

  void waitRead() override { waitFor(read_block_, INFINITE); }

  bool readResult(std::size_t& bytes_read) override {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD count = 0;
    const bool ok = isOpen() && GetOverlappedResult(port_, &read_block_, &count, FALSE) != FALSE;
    bytes_read = count;
    return ok;
  }

  std::uint32_t inputCount() override {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!isOpen() || ClearCommError(port_, &errors, &status) == FALSE) return 0;
    return status.cbInQue;
  }

  // The count is cheap and the driver delivers bytes whatever the waiting thread does: the wait
  // for a reply asks again at once, and reading starts at the first count that finds a byte.
  void awaitInput(std::uint32_t) override {}

  void cancelIo() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isOpen()) CancelIo(port_);
  }

  void abortWaits() override {
    aborted_.store(true);
    if (abort_event_ != nullptr) SetEvent(abort_event_);
  }

  void close() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waits_in_progress_ > 0 && abort_event_ != nullptr) {
      // A wait left running would be waiting on a handle that is about to be closed and may be
      // reused: end it as a forced end would, and let it leave before anything is released.
      abortWaits();
      waits_ended_.wait(lock, [this] { return waits_in_progress_ == 0; });
    }
    if (isOpen()) settlePendingIo();
    releaseHandle(read_block_.hEvent);
    releaseHandle(write_block_.hEvent);
    if (isOpen()) {
      CloseHandle(port_);
      port_ = INVALID_HANDLE_VALUE;
    }
    mask_saved_ = false;
    dcb_saved_ = false;
    timeouts_saved_ = false;
  }

 private:
  bool isOpen() const { return port_ != INVALID_HANDLE_VALUE; }

  // The abort event comes first: when both are signalled the wait reports the abort, and the I/O
  // event is not looked at.
  bool waitFor(const OVERLAPPED& block, DWORD timeout_ms) {
    HANDLE handles[2] = {abort_event_, nullptr};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (aborted_.load() || block.hEvent == nullptr) return false;
      handles[1] = block.hEvent;
      ++waits_in_progress_;
    }
    const bool abortable = abort_event_ != nullptr;
    const DWORD count = abortable ? 2 : 1;
    const DWORD result =
        WaitForMultipleObjects(count, abortable ? handles : handles + 1, FALSE, timeout_ms);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --waits_in_progress_;
    }
    waits_ended_.notify_all();
    return result == WAIT_OBJECT_0 + count - 1;
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
  HANDLE abort_event_;  // lives as long as the port object, so abortWaits never races a close
  HANDLE port_ = INVALID_HANDLE_VALUE;
  OVERLAPPED write_block_;
  OVERLAPPED read_block_;
  DWORD saved_mask_ = 0;
  DCB saved_dcb_;
  COMMTIMEOUTS saved_timeouts_;
  bool mask_saved_ = false;
  bool dcb_saved_ = false;
  bool timeouts_saved_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> makeSystemSerialPort() {
  return std::make_unique<Win32SerialPort>();
}

}  // namespace varno
