#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/platform.h"
#include "ports/serial_port.h"

namespace varno {

struct ManualResetEvent::Impl {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

ManualResetEvent::ManualResetEvent() : impl_(std::make_unique<Impl>()) {}
ManualResetEvent::~ManualResetEvent() = default;

bool ManualResetEvent::valid() const {
  return true;
}

void ManualResetEvent::set() {
  // Notified under the lock: once a waiter has woken, the setter is done with this object, so a
  // sender at its wait may see the connection closed (and this event gone) from another thread.
  std::lock_guard lock(impl_->mutex);
  impl_->signalled = true;
  impl_->changed.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->signalled = false;
}

bool ManualResetEvent::wait(std::uint32_t timeout_ms) {
  std::unique_lock lock(impl_->mutex);
  if (timeout_ms == kInfinite) {
    impl_->changed.wait(lock, [this] { return impl_->signalled; });
    return true;
  }
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [this] { return impl_->signalled; });
}

struct WorkerThread::Impl {
  std::thread thread;
  std::thread::id id;
  // Shared with the thread, which may outlive this object when it is let go unfinished.
  std::shared_ptr<ManualResetEvent> ended;
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}
WorkerThread::~WorkerThread() = default;

bool WorkerThread::start(Routine routine, void* argument) {
  // (On Linux the library is linked to stay loaded once it has been: see -z nodelete.)
  try {
    auto ended = std::make_shared<ManualResetEvent>();
    impl_->thread = std::thread([ended, routine, argument] {
      routine(argument);
      ended->set();
    });
    impl_->id = impl_->thread.get_id();
    impl_->ended = std::move(ended);
  } catch (...) {
    return false;
  }
  return true;
}

bool WorkerThread::waitForEnd(std::uint32_t timeout_ms) {
  return impl_->ended && impl_->ended->wait(timeout_ms);
}

bool WorkerThread::isCurrentThread() const {
  return impl_->id == std::this_thread::get_id();
}

void WorkerThread::release() {
  if (!impl_->thread.joinable()) return;
  if (impl_->ended->wait(0)) {
    // The routine has returned; joining only collects the thread.
    impl_->thread.join();
  } else {
    impl_->thread.detach();
  }
  impl_->ended.reset();
}

std::uint32_t millisecondClock() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void sleepMilliseconds(std::uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

const char* permissionDeniedText() {
  return "Permission denied: the port belongs to a group this user is not in (usually dialout: "
         "sudo usermod -aG dialout $USER, then log in again).";
}

std::string programDescription() {
  return std::string(program_invocation_short_name) + " " + std::to_string(getpid());
}

}  // namespace varno
