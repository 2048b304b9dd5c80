// One command frame out, one reply frame back, the outcome to whoever asked.
#include "core/connection.h"
#include "core/diagnostic.h"

namespace varno {
namespace {

// The host's code may throw (a C++ callback): that must not end the process, nor the worker.
template <typename F>
void callHost(F call) {
  try {
    call();
  } catch (...) {
    logDiagnostic("\n callback exception caught");
  }
}

// The outcome's frame: the reply, or with no reply to show, the request seen from the device's
// side.
const CommandRecord& outcomeRecord(Session& s, std::int32_t outcome, CommandRecord& swapped) {
  if (outcome == kReplyValid) return s.reply;
  swapped = s.request;
  swapped.dest = s.request.source;
  swapped.source = s.request.dest;
  swapped.status = 0;
  swapped.error = 0;
  return swapped;
}

// Runs the host's code under the gate: a close that gives up on the worker meanwhile stops it
// from doing anything more afterwards. False when that happened (or had happened before).
template <typename F>
bool callUnderGate(Session& s, F call) {
  int gate = Session::kRunning;
  if (!s.gate.compare_exchange_strong(gate, Session::kInCallback)) return false;
  callHost(call);
  gate = Session::kInCallback;
  return s.gate.compare_exchange_strong(gate, Session::kRunning);
}

// Hands the outcome over (or notes there is nobody to hand it to) and returns to Idle. False when
// the session has been abandoned: then nothing is called and the state is not touched.
bool endTransaction(Session& s, std::int32_t from_state, std::int32_t outcome) {
  s.pending.store(Session::kNone);
  // Cut short by a close: whatever the port made of the aborted waits is not the device's doing.
  if (s.closing.load() && outcome != kReplyValid) outcome = VARNO_E_CLOSED;
  CommandRecord swapped;
  const CommandRecord& r = outcomeRecord(s, outcome, swapped);

  switch (s.delivery) {
    case Delivery::kCaller:
      // The caller's own thread: nothing of the host's runs here, so a close has nothing to stop.
      frameFromRecord(r, s.caller_reply);
      s.caller_outcome = outcome;
      changeState(s, from_state, kIdle);
      return true;

    case Delivery::kHandler: {
      // The link is free again before the handler runs, so the handler (or any thread it wakes)
      // may start the next transaction at once: what it is given is its own copy, taken before.
      VarnoFrame frame;
      frameFromRecord(r, frame);
      const VarnoReplyHandler handler = s.handler;
      void* const context = s.context;
      if (!changeState(s, from_state, kIdle)) return false;
      return callUnderGate(s, [&] { handler(context, &frame, outcome); });
    }

    case Delivery::kCallBackFunc:
      if (s.callback == nullptr) {
        if (!changeState(s, from_state, kIdle)) return false;
        logDiagnostic("\n CallBackFunc not defined");
        return true;
      }
      {
        std::uint8_t* data = outcome == kReplyValid ? s.reply.data_arr : s.request.data_arr;
        const bool still_running = callUnderGate(s, [&] {
          s.callback(r.dest, r.source, r.code, r.param, r.status, r.error, data, outcome);
        });
        if (!still_running) return false;
      }
      // Idle only now, so that a waiting sender regains control after its callback has run.
      return changeState(s, from_state, kIdle);
  }
  return true;
}

bool finishWrite(Session& s) {
  const std::int32_t sent = s.carrier->finishSending(s);
  if (sent != kCommandSent) return endTransaction(s, kSending, sent);
  if (s.delivery == Delivery::kCallBackFunc && s.callback == nullptr) {
    // Nobody to hand a reply to: none is awaited.
    s.pending.store(Session::kNone);
    if (!changeState(s, kSending, kIdle)) return false;
    logDiagnostic("\n CallBackFunc not defined");
    return true;
  }
  return changeState(s, kSending, kAwaitingReply);
}

bool receiveReply(Session& s) {
  const std::int32_t outcome = s.carrier->awaitOutcome(s);
  if (outcome == kSessionAbandoned) return false;
  return endTransaction(s, kAwaitingReply, outcome);
}

}  // namespace

bool doTransactionWork(Session& s) {
  std::atomic<std::int32_t>& state = s.state();
  if (state.load() == kSending && !finishWrite(s)) return false;
  if (state.load() != kAwaitingReply) return true;
  return receiveReply(s);
}

bool endCutTransaction(Session& s, int who) {
  // Only the one it was handed to ends it: the worker never touches a caller's own transaction.
  int expected = who;
  if (!s.policy.close_cuts_transaction ||
      !s.pending.compare_exchange_strong(expected, Session::kNone))
    return true;
  return endTransaction(s, kSending, VARNO_E_CLOSED);
}

}  // namespace varno
