// The thread, event and clock primitives the connection is written against. One implementation
// per platform (platform_win32.cpp, platform_linux.cpp).
#ifndef VARNO_SERIAL_PLATFORM_H
#define VARNO_SERIAL_PLATFORM_H

#include <cstdint>
#include <memory>
#include <string>

namespace varno {

// An event that stays signalled from set() until reset(): a signal given while the waiter is busy
// is not lost.
class ManualResetEvent {
 public:
  ManualResetEvent();
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  // False when the system could not make the event (Windows: out of handles).
  bool valid() const;
  void set();
  void reset();
  // True when the event is (or becomes) signalled within `timeout_ms`; kInfinite waits forever.
  bool wait(std::uint32_t timeout_ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A thread whose end can be awaited with a limit. While it runs it keeps the library loaded: a
// host that unloads the library right after a close that gave up on the thread does not pull the
// code out from under it.
class WorkerThread {
 public:
  using Routine = void (*)(void* argument);

  WorkerThread();
  ~WorkerThread();  // the thread must have been joined or detached
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // False when the thread could not be created.
  bool start(Routine routine, void* argument);
  // True when the thread has ended within `timeout_ms`.
  bool waitForEnd(std::uint32_t timeout_ms);
  // True when called on this thread.
  bool isCurrentThread() const;
  // Releases the thread: after an end reported by waitForEnd, or to let a thread that will not
  // end run on by itself.
  void release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Milliseconds from an arbitrary origin, wrapping at 2^32; take differences as uint32_t.
std::uint32_t millisecondClock();
void sleepMilliseconds(std::uint32_t ms);

// What to tell a user whom the system denied a port, in this system's terms.
const char* permissionDeniedText();

// This program's file name (without its directory) and its process id, "varno 4711": how a
// gateway's log tells its clients apart. Empty where the system does not say.
std::string programDescription();

}  // namespace varno

#endif  // VARNO_SERIAL_PLATFORM_H
