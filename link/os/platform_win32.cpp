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

#include "os/platform.h"

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

bool ManualResetEvent::valid() const {
  return impl_->event != nullptr;
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
  HMODULE module;
};

// The thread owns its start record, not the WorkerThread: a released thread may start running
// only after the WorkerThread that launched it is gone. It holds a reference to the module its
// code lives in until it has left that code: a host may unload the library while a thread that a
// close gave up on still runs.
DWORD WINAPI runThread(LPVOID parameter) {
  ThreadStart* record = static_cast<ThreadStart*>(parameter);
  const ThreadStart start = *record;
  delete record;
  start.routine(start.argument);
  if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
  return 0;
}

}  // namespace

struct WorkerThread::Impl {
  HANDLE thread = nullptr;
  DWORD id = 0;
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}

WorkerThread::~WorkerThread() {
  release();
}

bool WorkerThread::start(Routine routine, void* argument) {
  if (impl_->thread != nullptr || routine == nullptr) return false;
  ThreadStart* record = new (std::nothrow) ThreadStart{routine, argument, nullptr};
  if (record == nullptr) return false;
  // Taken here rather than by the thread, so that no moment of the thread's life goes without it.
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&runThread),
                     &record->module);
  const HMODULE module = record->module;
  impl_->thread = CreateThread(nullptr, 0, runThread, record, 0, &impl_->id);
  if (impl_->thread == nullptr) {
    if (module != nullptr) FreeLibrary(module);
    delete record;
    return false;
  }
  return true;
}

bool WorkerThread::waitForEnd(std::uint32_t timeout_ms) {
  return impl_->thread != nullptr &&
         WaitForSingleObject(impl_->thread, timeout_ms) == WAIT_OBJECT_0;
}

bool WorkerThread::isCurrentThread() const {
  return impl_->thread != nullptr && impl_->id == GetCurrentThreadId();
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

const char* permissionDeniedText() {
  return "Permission denied: the system refused this program access to the port.";
}

std::string programDescription() {
  char path[MAX_PATH];
  const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (size == 0 || size >= MAX_PATH) return std::string();
  std::string name(path, size);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return name + " " + std::to_string(GetCurrentProcessId());
}

}  // namespace varno
