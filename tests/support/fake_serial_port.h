// A serial port whose every operation a test scripts: which calls fail, how writes and reads
// end. It records the calls it gets, in order.
#ifndef VARNO_TESTS_FAKE_SERIAL_PORT_H
#define VARNO_TESTS_FAKE_SERIAL_PORT_H

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
  std::mutex mutex;
  std::condition_variable changed;

  std::string failing_call;  // the one call that returns false ("open", "purge", ...)

  enum class Write { kAtOnce, kPending, kNever, kFails };
  Write write = Write::kAtOnce;
  bool write_completes = false;  // for kPending: the test sets it to let the write finish

  bool start_read_fails = false;
  bool read_fails = false;
  std::vector<std::uint8_t> reply;  // delivered by the read (fewer than 12: a short read)
  std::uint32_t input_count = 0;    // what inputCount() reports

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
    return out;
  }
  void update(const std::function<void(FakeScript&)>& f) {
    std::lock_guard lock(mutex);
    f(*this);
    changed.notify_all();
  }
  bool sawCall(const std::string& name) {
    std::lock_guard lock(mutex);
    for (const auto& c : calls)
      if (c == name) return true;
    return false;
  }
};

class FakeSerialPort final : public SerialPort {
 public:
  explicit FakeSerialPort(std::shared_ptr<FakeScript> script) : s_(std::move(script)) {}

  bool createEvents() override { return result("createEvents"); }
  bool open(const std::string& name) override { return result("open", name); }
  bool purge(std::uint32_t flags) override { return result("purge", std::to_string(flags)); }
  bool saveEventMask() override { return result("saveEventMask"); }
  bool saveLineSettings() override { return result("saveLineSettings"); }
  bool saveTimeouts() override { return result("saveTimeouts"); }
  bool setQueueSizes(std::uint32_t in, std::uint32_t out) override {
    return result("setQueueSizes", std::to_string(in) + "," + std::to_string(out));
  }
  bool applyLineSettings(const LineSettings& settings) override {
    return result("applyLineSettings", std::to_string(settings.baud_rate) +
                                           (settings.rts == RtsControl::Toggle ? ",toggle"
                                            : settings.rts == RtsControl::ToggleWhereSupported
                                                ? ",toggle-where-supported"
                                                : ",disable"));
  }
  bool applyTimeouts() override { return result("applyTimeouts"); }
  bool applyEventMask() override { return result("applyEventMask"); }
  bool clearErrors() override { return result("clearErrors"); }
  void restoreSettings() override { note("restoreSettings"); }

  bool startWrite(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard lock(s_->mutex);
    record("startWrite");
    s_->written.assign(data, data + size);
    if (s_->failing_call == "startWrite") return false;
    write_done_ = s_->write == FakeScript::Write::kAtOnce;
    return true;
  }
  bool waitWrite(std::uint32_t timeout_ms) override {
    std::unique_lock lock(s_->mutex);
    record("waitWrite");
    if (write_done_) return true;
    const auto done = [&] {
      return s_->aborted || (s_->write != FakeScript::Write::kNever &&
                             (s_->write != FakeScript::Write::kPending || s_->write_completes));
    };
    const bool finished =
        timeout_ms == kInfinite
            ? (s_->changed.wait(lock, done), true)
            : s_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
    write_done_ = finished && !s_->aborted;
    return write_done_;
  }
  bool writeResult() override {
    std::lock_guard lock(s_->mutex);
    record("writeResult");
    return s_->write != FakeScript::Write::kFails;
  }
  bool startRead(std::uint8_t* buffer, std::size_t size) override {
    std::lock_guard lock(s_->mutex);
    record("startRead");
    if (s_->start_read_fails) return false;
    read_size_ = std::min(size, s_->reply.size());
    if (read_size_ > 0) std::memcpy(buffer, s_->reply.data(), read_size_);
    return true;
  }
  void waitRead() override { note("waitRead"); }
  bool readResult(std::size_t& bytes_read) override {
    std::lock_guard lock(s_->mutex);
    record("readResult");
    bytes_read = read_size_;
    return !s_->read_fails;
  }
  std::uint32_t inputCount() override {
    std::lock_guard lock(s_->mutex);
    if (s_->closed) ++s_->ops_after_close;
    return s_->input_count;  // not recorded: called in a tight loop
  }
  void awaitInput(std::uint32_t) override {}
  void cancelIo() override { note("cancelIo"); }
  void abortWaits() override {
    s_->update([](FakeScript& s) {
      s.aborted = true;
      s.calls.push_back("abortWaits");
    });
  }
  void close() override {
    note("close");
    std::lock_guard lock(s_->mutex);
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
  bool result(const std::string& call, const std::string& argument = "") {
    std::lock_guard lock(s_->mutex);
    record(argument.empty() ? call : call + "(" + argument + ")");
    return s_->failing_call != call;
  }

  std::shared_ptr<FakeScript> s_;
  bool write_done_ = false;
  std::size_t read_size_ = 0;
};

inline OpenOptions fakeOptions(const std::shared_ptr<FakeScript>& script) {
  OpenOptions options;
  options.make_port = [script] { return std::make_unique<FakeSerialPort>(script); };
  return options;
}

}  // namespace varno::test

#endif  // VARNO_TESTS_FAKE_SERIAL_PORT_H
