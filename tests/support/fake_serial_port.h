// A serial port whose every operation a test scripts: how the open, writes, the wait for input
// and reads end. It records the calls it gets, in order.
#ifndef VARNO_TESTS_FAKE_SERIAL_PORT_H
#define VARNO_TESTS_FAKE_SERIAL_PORT_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/connection.h"
#include "ports/serial_port.h"

namespace varno::test {

// Shared by the test and the port the connection owns (the test keeps it after the close).
struct FakeScript {
  // Room for a test's calls, so that recording one never allocates (a test may run out of memory
  // on purpose).
  FakeScript() { calls.reserve(kCallRoom); }

  std::mutex mutex;
  std::condition_variable changed;

  OpenStatus open_status;    // what open() reports
  std::string failing_call;  // "discard" or "startWrite": the one that returns false

  enum class Write { kAtOnce, kPending, kNever, kFails };
  Write write = Write::kAtOnce;
  bool write_completes = false;  // for kPending: the test sets it to let the write finish

  // What the wait for input finds: nothing (it waits out its time), a byte, or a line gone.
  enum class Input { kNone, kWaiting, kGone };
  Input input = Input::kNone;
  bool read_fails = false;
  std::vector<std::uint8_t> reply;  // delivered by the read (fewer than 12: a short read)

  std::vector<std::uint8_t> written;                // the last write's bytes
  std::vector<std::string> calls;                   // every call, in order
  std::function<void(const std::string&)> on_call;  // told each call as it is made
  bool closed = false;
  bool aborted = false;
  int ops_after_close = 0;  // operations that reached the port after close()

  std::vector<std::string> takeCalls() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    out.swap(calls);
    calls.reserve(kCallRoom);
    return out;
  }
  void update(const std::function<void(FakeScript&)>& f) {
    std::lock_guard lock(mutex);
    f(*this);
    changed.notify_all();
  }
  bool sawCall(const std::string& name) {
    std::lock_guard lock(mutex);
    return std::find(calls.begin(), calls.end(), name) != calls.end();
  }

  static constexpr std::size_t kCallRoom = 64;
};

class FakeSerialPort final : public SerialPort {
 public:
  explicit FakeSerialPort(std::shared_ptr<FakeScript> script) : s_(std::move(script)) {}

  OpenStatus open(const std::string& name, const PortSettings& settings) override {
    std::lock_guard lock(s_->mutex);
    record("open(" + name + "," + std::to_string(settings.baud_rate) +
           (settings.rts == RtsControl::Toggle                 ? ",toggle"
            : settings.rts == RtsControl::ToggleWhereSupported ? ",toggle-where-supported"
                                                               : ",disable") +
           ")");
    return s_->open_status;
  }
  bool discard() override { return result("discard"); }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard lock(s_->mutex);
    record("startWrite");
    s_->written.assign(data, data + size);
    if (s_->failing_call == "startWrite") return false;
    write_done_ = s_->write == FakeScript::Write::kAtOnce;
    return true;
  }
  WaitResult finishWrite(std::uint32_t timeout_ms) override {
    std::unique_lock lock(s_->mutex);
    record("finishWrite");
    if (!write_done_) {
      const auto done = [&] {
        return s_->aborted || (s_->write != FakeScript::Write::kNever &&
                               (s_->write != FakeScript::Write::kPending || s_->write_completes));
      };
      if (timeout_ms == kInfinite) {
        s_->changed.wait(lock, done);
      } else if (!s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
        return WaitResult::kTimedOut;
      }
      if (s_->aborted) return WaitResult::kAborted;
      write_done_ = true;
    }
    return s_->write == FakeScript::Write::kFails ? WaitResult::kFailed : WaitResult::kDone;
  }

  WaitResult awaitInput(std::uint32_t timeout_ms) override {
    std::unique_lock lock(s_->mutex);
    record("awaitInput");
    const auto found = [&] { return s_->aborted || s_->input != FakeScript::Input::kNone; };
    if (timeout_ms == kInfinite) {
      s_->changed.wait(lock, found);
    } else if (!s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), found)) {
      return WaitResult::kTimedOut;
    }
    if (s_->aborted) return WaitResult::kAborted;
    return s_->input == FakeScript::Input::kGone ? WaitResult::kFailed : WaitResult::kDone;
  }
  bool read(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
    std::lock_guard lock(s_->mutex);
    record("read");
    received = std::min(size, s_->reply.size());
    if (received > 0) std::memcpy(buffer, s_->reply.data(), received);
    return !s_->read_fails;
  }

  void cancel() override { note("cancel"); }
  void abort() override {
    s_->update([](FakeScript& s) {
      s.aborted = true;
      s.calls.push_back("abort");
    });
  }
  void close() override {
    std::lock_guard lock(s_->mutex);
    record("close");
    s_->closed = true;
  }

 private:
  void record(const std::string& call) {
    if (s_->closed) ++s_->ops_after_close;
    s_->calls.push_back(call);
    if (s_->on_call) s_->on_call(call);
  }
  void note(const std::string& call) {
    std::lock_guard lock(s_->mutex);
    record(call);
  }
  bool result(const std::string& call) {
    std::lock_guard lock(s_->mutex);
    record(call);
    return s_->failing_call != call;
  }

  std::shared_ptr<FakeScript> s_;
  bool write_done_ = false;
};

inline OpenOptions fakeOptions(const std::shared_ptr<FakeScript>& script) {
  OpenOptions options;
  options.make_port = [script] { return std::make_unique<FakeSerialPort>(script); };
  return options;
}

}  // namespace varno::test

#endif  // VARNO_TESTS_FAKE_SERIAL_PORT_H
