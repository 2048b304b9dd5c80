// What the soak and the recovery tests share: a callback that tags every call with the
// transaction it came during, one transaction run through the exported interface, the checks of
// a callback's fields, and what the line record says about timing.
#ifndef VARNO_TESTS_SOAK_SOAK_SUPPORT_H
#define VARNO_TESTS_SOAK_SOAK_SUPPORT_H

#include <dirent.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "protocol/frame.h"
#include "simulator.h"

namespace varno::soak {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A command as handed to varnoSendCommand. Bit 7 of dest, source and code is allowed: it does not
// go on the wire, but a failure's callback must show the values as given.
struct Request {
  std::uint8_t dest = 0;
  std::uint8_t source = 0;
  std::uint8_t code = 0;
  std::uint8_t param = 0;
  std::array<std::uint8_t, 4> data{};
  std::uint32_t reply_timeout_ms = 0;
};

// The frame the library puts on the wire for `r`; answer records name their command by it.
inline Frame commandFrame(const Request& r) {
  CommandRecord c;
  c.dest = r.dest;
  c.source = r.source;
  c.code = r.code;
  c.param = r.param;
  std::copy(r.data.begin(), r.data.end(), c.data_arr);
  Frame f;
  encodeFrame(c, f.data());
  return f;
}

struct Seen {
  std::uint8_t dest, source, code, param, status, error;
  std::array<std::uint8_t, 4> data;
  std::int32_t outcome;
  Clock::time_point at;
  std::uint64_t during;  // the transaction under way when the call came
};

inline std::string describe(const Seen& s) {
  char text[160];
  std::snprintf(text, sizeof text,
                "outcome %d: dest %02X source %02X code %02X param %02X status %02X error %02X "
                "data %02X %02X %02X %02X (during transaction %llu)",
                s.outcome, s.dest, s.source, s.code, s.param, s.status, s.error, s.data[0],
                s.data[1], s.data[2], s.data[3], static_cast<unsigned long long>(s.during));
  return text;
}

// Every callback the library makes, tagged with the transaction the test had under way. One at a
// time; the storage is reused, so that a long soak does not grow it.
class Callbacks {
 public:
  Callbacks() {
    seen_.reserve(16);
    current() = this;
  }
  ~Callbacks() { current() = nullptr; }
  Callbacks(const Callbacks&) = delete;
  Callbacks& operator=(const Callbacks&) = delete;

  static void VARNO_CALL callback(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                                  std::uint8_t param, std::uint8_t status, std::uint8_t error,
                                  std::uint8_t* data_arr, std::int32_t error_status) {
    Callbacks* self = current();
    std::lock_guard lock(self->mutex_);
    self->seen_.push_back(Seen{dest,
                               source,
                               code,
                               param,
                               status,
                               error,
                               {data_arr[0], data_arr[1], data_arr[2], data_arr[3]},
                               error_status,
                               Clock::now(),
                               self->transaction_});
    self->changed_.notify_all();
  }

  void begin(std::uint64_t transaction) {
    std::lock_guard lock(mutex_);
    transaction_ = transaction;
  }
  bool waitForAny(milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !seen_.empty(); });
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return seen_.size();
  }
  // Moves the calls so far into `out` (emptied first) and starts again.
  void take(std::vector<Seen>& out) {
    out.clear();
    std::lock_guard lock(mutex_);
    out.swap(seen_);
  }

 private:
  static Callbacks*& current() {
    static Callbacks* c = nullptr;
    return c;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
  std::uint64_t transaction_ = 0;
};

// One transaction through the exported interface, up to the library being idle again.
struct Sent {
  Clock::time_point sent;      // just before varnoSendCommand
  Clock::time_point returned;  // just after it: the driver had been purged by then
  std::int32_t result = -1;
  std::size_t calls_at_return = 0;  // callbacks already made when it returned
  bool called_back = false;         // within the patience given
  bool idle_again = false;
};

inline Sent send(Callbacks& callbacks, const Request& r, bool wait,
                 milliseconds patience = milliseconds(10000)) {
  Sent s;
  s.sent = Clock::now();
  s.result = varnoSendCommand(r.dest, r.source, r.code, r.param, r.data.data(), 1000,
                              r.reply_timeout_ms, &Callbacks::callback, wait);
  s.returned = Clock::now();
  s.calls_at_return = callbacks.count();
  if (s.result != kSendStarted) return s;
  s.called_back = callbacks.waitForAny(patience);
  // The state goes back to Idle only after the callback has returned.
  const Clock::time_point give_up = Clock::now() + patience;
  while (!(s.idle_again = varnoGetSerialPortCurrentState() == kIdle) && Clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  return s;
}

// The earliest moment the library may give up waiting for a reply: its clock counts whole
// milliseconds, so up to one short of the reply time-out after the command was handed over.
inline Clock::time_point giveUpFrom(const Request& r, const Sent& s) {
  return s.sent + milliseconds(r.reply_timeout_ms) - milliseconds(1);
}

// "" when `s` is a failure with the request's fields, addresses swapped; otherwise what is wrong.
inline std::string checkFailure(const Seen& s, const Request& r, std::int32_t outcome) {
  if (s.outcome != outcome) return "expected outcome " + std::to_string(outcome);
  if (s.dest != r.source || s.source != r.dest || s.code != r.code || s.param != r.param ||
      s.status != 0 || s.error != 0 || s.data != r.data) {
    return "not the request's fields, addresses swapped";
  }
  return "";
}

// Whether `s` is a valid reply carrying exactly the frame `bytes`.
inline bool isReplyOf(const Seen& s, const std::vector<std::uint8_t>& bytes) {
  CommandRecord f;
  if (s.outcome != kReplyValid || bytes.size() != kFrameSize || !decodeFrame(bytes.data(), f)) {
    return false;
  }
  const std::array<std::uint8_t, 4> data{f.data_arr[0], f.data_arr[1], f.data_arr[2],
                                         f.data_arr[3]};
  return s.dest == f.dest && s.source == f.source && s.code == f.code && s.param == f.param &&
         s.status == f.status && s.error == f.error && s.data == data;
}

// The record of the answer to `command`, if a device began one.
inline const sim::AnswerRecord* answerTo(const std::vector<sim::AnswerRecord>& answers,
                                         const Frame& command) {
  for (const sim::AnswerRecord& a : answers) {
    if (a.command == command) return &a;
  }
  return nullptr;
}

inline std::string timings(const sim::AnswerRecord& a, Clock::time_point origin) {
  char head[64];
  std::snprintf(head, sizeof head, " command read %.2f ms;",
                std::chrono::duration<double, std::milli>(a.command_read - origin).count());
  std::string out = head;
  for (const sim::AnswerRecord::Write& w : a.writes) {
    char cell[80];
    std::snprintf(cell, sizeof cell, " [%zu bytes %.2f..%.2f ms]", w.count,
                  std::chrono::duration<double, std::milli>(w.begun - origin).count(),
                  std::chrono::duration<double, std::milli>(w.done - origin).count());
    out += cell;
  }
  return out;
}

// What the process holds, from /proc.
inline long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

inline std::size_t directoryEntries(const char* path) {
  std::size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

inline std::size_t openDescriptors() {
  return directoryEntries("/proc/self/fd");
}
inline std::size_t threads() {
  return directoryEntries("/proc/self/task");
}

}  // namespace varno::soak

#endif  // VARNO_TESTS_SOAK_SOAK_SUPPORT_H
