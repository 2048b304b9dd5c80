// The thread, event and clock primitives over kernel32 and the multimedia timer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// mmsystem.h needs the types of windows.h before it.
#include <mmsystem.h>

#include <new>

#include "serial/platform.h"

namespace varno {

struct ManualResetEvent::Impl {
  HANDLE event = nullptr;
};

ManualResetEvent::ManualResetEvent() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

ManualResetEvent::~ManualResetEvent() {
  if (impl_->event != nullptr) CloseHandle(impl_->event);
}

void ManualResetEvent::set() {
  if (impl_->event != nullptr) SetEvent(impl_->event);
}

void ManualResetEvent::reset() {
  if (impl_->event != nullptr) ResetEvent(impl_->event);
}

bool ManualResetEvent::wait(std::uint32_t timeout_ms) {
  return impl_->event != nullptr && WaitForSingleObject(impl_->event, timeout_ms) == WAIT_OBJECT_0;
}

namespace {

struct ThreadStart {
  WorkerThread::Routine routine;
  void* argument;
};

// The thread owns its start record, not the WorkerThread: a released thread may start running
// only after the WorkerThread that launched it is gone.
DWORD WINAPI runThread(LPVOID parameter) {
  ThreadStart* record = static_cast<ThreadStart*>(parameter);
  const ThreadStart start = *record;
  delete record;
  start.routine(start.argument);
  return 0;
}

}  // namespace

struct WorkerThread::Impl {
  HANDLE thread = nullptr;
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}

WorkerThread::~WorkerThread() {
  release();
}

bool WorkerThread::start(Routine routine, void* argument) {
  if (impl_->thread != nullptr || routine == nullptr) return false;
  ThreadStart* record = new (std::nothrow) ThreadStart{routine, argument};
  if (record == nullptr) return false;
  impl_->thread = CreateThread(nullptr, 0, runThread, record, 0, nullptr);
  if (impl_->thread == nullptr) {
    delete record;
    return false;
  }
  return true;
}

bool WorkerThread::waitForEnd(std::uint32_t timeout_ms) {
  return impl_->thread != nullptr &&
         WaitForSingleObject(impl_->thread, timeout_ms) == WAIT_OBJECT_0;
}

void WorkerThread::release() {
  if (impl_->thread != nullptr) {
    CloseHandle(impl_->thread);
    impl_->thread = nullptr;
  }
}

std::uint32_t millisecondClock() {
  return static_cast<std::uint32_t>(timeGetTime());
}

void sleepMilliseconds(std::uint32_t ms) {
  Sleep(ms);
}

}  // namespace varno
