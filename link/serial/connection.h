// The process-wide connection: its state, its port, its worker thread and the transaction data.
// The exported functions are thin shims over the functions declared here; tests call these
// directly (with a fake port, or with RTS control the Wine serial driver accepts).
#ifndef VARNO_SERIAL_CONNECTION_H
#define VARNO_SERIAL_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "VarnoDLL.h"
#include "protocol/frame.h"
#include "serial/platform.h"
#include "serial/serial_port.h"

namespace varno {

enum LinkState : std::int32_t {
  kClosed = 0,
  kIdle = 1,
  kAwaitingReply = 2,
  kSending = 3,
};

// Transaction outcomes, passed to the callback as error_status.
enum Outcome : std::int32_t {
  kReplyValid = 0,
  kWriteTimedOut = 1,
  kWriteFailed = 2,
  kNoReply = 3,
  kReadFailed = 4,
  kReplyInvalid = 5,
};

// Results of sendCommand.
enum SendResult : std::int32_t {
  kSendStarted = 0,
  kSendNotIdle = 1,
  kSendNullData = 2,
  kSendEncodeFailed = 3,
  kSendWriteNotStarted = 4,
};

struct OpenOptions {
  RtsControl rts = RtsControl::Toggle;
  // Makes the port; the platform's own when empty.
  std::function<std::unique_ptr<SerialPort>()> make_port;
};

// One successful open's worth of everything. Shared by the connection and its worker thread, so
// that a worker given up by a close (see abandon) can finish on its own without touching what a
// later open has made.
struct Session {
  std::unique_ptr<SerialPort> port;
  ManualResetEvent wake;

  // What the worker may still do. A close that gives up on the worker moves this to kAbandoned;
  // from then on the worker changes no state, calls no callback and leaves at its next step.
  enum Gate : int { kRunning, kChangingState, kInCallback, kAbandoned };
  std::atomic<int> gate{kRunning};

  // The transaction: written by sendCommand only while the state is Idle, read by the worker
  // only after it has been woken.
  CommandRecord request;
  CommandRecord reply;
  Frame out{};
  Frame in{};
  CallBackFunc callback = nullptr;
  std::uint32_t write_timeout_ms = 0;
  std::uint32_t reply_timeout_ms = 0;

  bool abandoned() const { return gate.load(std::memory_order_acquire) == kAbandoned; }
};

bool openConnection(const std::string& name, std::uint32_t baud_rate,
                    const OpenOptions& options = {});
void closeConnection();
std::int32_t connectionState();
std::int32_t sendCommand(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                         std::uint8_t param, const std::uint8_t* data_arr,
                         std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                         CallBackFunc callback, bool wait);

// Inside the serial link: the shared state, the open session, and the worker's transaction work.
std::atomic<std::int32_t>& linkState();
// The open connection's session, or none.
std::shared_ptr<Session> currentSession();
// The work for one wake-up. False when the session has been abandoned: the worker must leave
// at once, without a word.
bool doTransactionWork(Session& session);
// Moves the state from `expected` to `desired` unless a close got there first; false only when
// the session has been abandoned.
bool changeState(Session& session, std::int32_t expected, std::int32_t desired);

}  // namespace varno

#endif  // VARNO_SERIAL_CONNECTION_H
