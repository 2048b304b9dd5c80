// A CallBackFunc that records every call, for tests to wait on and inspect.
#ifndef VARNO_TESTS_CALLBACK_RECORDER_H
#define VARNO_TESTS_CALLBACK_RECORDER_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "VarnoDLL.h"

namespace varno::test {

struct Call {
  std::uint8_t dest, source, code, param, status, error;
  std::array<std::uint8_t, 4> data;
  std::int32_t error_status;
  std::thread::id thread;
};

// One recorder at a time (the callback is a plain function).
class CallbackRecorder {
 public:
  CallbackRecorder() { current() = this; }
  ~CallbackRecorder() { current() = nullptr; }
  CallbackRecorder(const CallbackRecorder&) = delete;
  CallbackRecorder& operator=(const CallbackRecorder&) = delete;

  static void VARNO_CALL callback(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                                  std::uint8_t param, std::uint8_t status, std::uint8_t error,
                                  std::uint8_t* data_arr, std::int32_t error_status) {
    CallbackRecorder* self = current();
    Call call{dest,
              source,
              code,
              param,
              status,
              error,
              {data_arr[0], data_arr[1], data_arr[2], data_arr[3]},
              error_status,
              std::this_thread::get_id()};
    if (self->during_) self->during_(call);
    // Notified under the lock: a test may destroy the recorder as soon as it sees the call.
    std::lock_guard lock(self->mutex_);
    self->calls_.push_back(call);
    self->changed_.notify_all();
  }

  // Something to do inside the callback (block, send, ...), before the call is recorded.
  template <typename F>
  void setDuring(F f) {
    during_ = f;
  }

  bool waitForCalls(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= n; });
  }

  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::size_t count() {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }

 private:
  static CallbackRecorder*& current() {
    static CallbackRecorder* r = nullptr;
    return r;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  std::function<void(const Call&)> during_;
};

}  // namespace varno::test

#endif  // VARNO_TESTS_CALLBACK_RECORDER_H
