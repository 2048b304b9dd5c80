// One command frame out, one reply frame back, the outcome to the caller's callback.
#include <cstring>

#include "diagnostic.h"
#include "serial/connection.h"

namespace varno {
namespace {

// Hands the outcome to the callback (or notes there is none) and returns to Idle. False when the
// session has been abandoned: then nothing is called and the state is not touched.
bool endTransaction(Session& s, std::int32_t from_state, std::int32_t outcome) {
  if (s.callback == nullptr) {
    if (!changeState(s, from_state, kIdle)) return false;
    logDiagnostic("\n CallBackFunc not defined");
    return true;
  }

  int gate = Session::kRunning;
  if (!s.gate.compare_exchange_strong(gate, Session::kInCallback)) return false;
  if (outcome == kReplyValid) {
    const CommandRecord& r = s.reply;
    s.callback(r.dest, r.source, r.code, r.param, r.status, r.error, s.reply.data_arr, outcome);
  } else {
    // No reply to show: the request, seen from the device's side.
    const CommandRecord& q = s.request;
    s.callback(q.source, q.dest, q.code, q.param, 0, 0, s.request.data_arr, outcome);
  }
  gate = Session::kInCallback;
  if (!s.gate.compare_exchange_strong(gate, Session::kRunning)) return false;

  // Idle only now, so that a waiting sender regains control after its callback has run.
  return changeState(s, from_state, kIdle);
}

bool failTransaction(Session& s, std::int32_t from_state, std::int32_t outcome) {
  s.port->cancelIo();
  return endTransaction(s, from_state, outcome);
}

bool finishWrite(Session& s) {
  SerialPort& port = *s.port;
  if (!port.waitWrite(s.write_timeout_ms)) return failTransaction(s, kSending, kWriteTimedOut);
  if (!port.writeResult()) return failTransaction(s, kSending, kWriteFailed);
  if (s.callback == nullptr) {
    // Nobody to hand a reply to: none is awaited.
    if (!changeState(s, kSending, kIdle)) return false;
    logDiagnostic("\n CallBackFunc not defined");
    return true;
  }
  return changeState(s, kSending, kAwaitingReply);
}

bool receiveReply(Session& s) {
  SerialPort& port = *s.port;
  // Only the wait for the first byte is timed here; the driver's inter-byte limit ends the read.
  // Reading starts at the first query of the driver's count that sees a byte; between queries
  // the port may wait for one (for no longer than the time left).
  const std::uint32_t start = millisecondClock();
  std::uint32_t queried_at = start;
  while (port.inputCount() == 0) {
    const auto elapsed = static_cast<std::uint32_t>(queried_at - start);
    if (elapsed >= s.reply_timeout_ms) return failTransaction(s, kAwaitingReply, kNoReply);
    if (s.abandoned()) return false;
    port.awaitInput(s.reply_timeout_ms - elapsed);
    queried_at = millisecondClock();
  }

  s.in.fill(0);
  if (!port.startRead(s.in.data(), s.in.size())) {
    return failTransaction(s, kAwaitingReply, kReadFailed);
  }
  port.waitRead();
  std::size_t bytes_read = 0;
  if (!port.readResult(bytes_read)) return failTransaction(s, kAwaitingReply, kReadFailed);

  // A reply cut short is not decoded: its zero-filled tail would pass the CRC one time in 128
  // and hand over fields the device never sent.
  if (bytes_read < kFrameSize) return endTransaction(s, kAwaitingReply, kReplyInvalid);
  s.reply = CommandRecord{};
  const bool valid = decodeFrame(s.in.data(), s.reply);
  return endTransaction(s, kAwaitingReply, valid ? kReplyValid : kReplyInvalid);
}

}  // namespace

bool doTransactionWork(Session& s) {
  std::atomic<std::int32_t>& state = linkState();
  if (state.load() == kSending && !finishWrite(s)) return false;
  if (state.load() != kAwaitingReply) return true;
  return receiveReply(s);
}

std::int32_t sendCommand(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                         std::uint8_t param, const std::uint8_t* data_arr,
                         std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                         CallBackFunc callback, bool wait) {
  std::atomic<std::int32_t>& state = linkState();
  if (state.load() != kIdle) return kSendNotIdle;
  if (data_arr == nullptr) return kSendNullData;

  // Held until the command is handed over: a close from another thread at this moment (which
  // callers must not do, but may) then cannot pull the session away underneath.
  const std::shared_ptr<Session> held = currentSession();
  if (!held) return kSendNotIdle;
  Session& s = *held;
  s.request = CommandRecord{};
  s.request.dest = dest;
  s.request.source = source;
  s.request.code = code;
  s.request.param = param;
  std::memcpy(s.request.data_arr, data_arr, kDataSize);
  if (!encodeFrame(s.request, s.out.data())) return kSendEncodeFailed;
  s.callback = callback;
  s.reply_timeout_ms = reply_timeout_ms;
  s.write_timeout_ms = write_timeout_ms;

  // Whatever the driver still holds either way goes first, stray or late bytes of an earlier
  // reply included: this is what brings the line back in step after any upset.
  SerialPort& port = *s.port;
  if (!port.purge(kPurgeAll) || !port.startWrite(s.out.data(), s.out.size())) {
    // Still Idle (or Closed, should a close have come in between).
    port.cancelIo();
    return kSendWriteNotStarted;
  }
  std::int32_t idle = kIdle;
  if (!state.compare_exchange_strong(idle, kSending)) {
    // Closed meanwhile: the command is not handed over, and Closed is not overwritten.
    port.cancelIo();
    return kSendNotIdle;
  }
  s.wake.set();

  if (wait) {
    for (;;) {
      sleepMilliseconds(1);
      const std::int32_t now = state.load();
      if (now == kIdle || now == kClosed) break;
    }
  }
  return kSendStarted;
}

}  // namespace varno
