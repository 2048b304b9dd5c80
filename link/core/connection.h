// Links: a port, its worker thread and the transaction data. The process-wide default link sits
// behind the eight classic functions; the C interface makes as many more as a host asks for.
// Tests call these functions directly (with a fake port, or with RTS control the Wine serial
// driver accepts).
#ifndef VARNO_SERIAL_CONNECTION_H
#define VARNO_SERIAL_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "VarnoDLL.h"
#include "core/carrier.h"
#include "core/classic_policy.h"
#include "os/platform.h"
#include "ports/serial_port.h"
#include "protocol/frame.h"

namespace varno {

// The link's states and a transaction's outcomes are the C interface's own numbers
// (varno_link.h): named here, never numbered again.
enum LinkState : std::int32_t {
  kClosed = VARNO_STATE_CLOSED,
  kIdle = VARNO_STATE_IDLE,
  kAwaitingReply = VARNO_STATE_AWAITING_REPLY,
  kSending = VARNO_STATE_SENDING,
};

// Transaction outcomes, passed to the callback as error_status.
enum Outcome : std::int32_t {
  kReplyValid = VARNO_REPLY,
  kWriteTimedOut = VARNO_WRITE_TIMEOUT,
  kWriteFailed = VARNO_WRITE_FAILED,
  kNoReply = VARNO_NO_REPLY,
  kReadFailed = VARNO_READ_FAILED,
  kReplyInvalid = VARNO_INVALID_REPLY,
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
  // Makes the port; when empty, the one the name asks for (or, for "varno://", no port: the
  // gateway carries the transactions).
  std::function<std::unique_ptr<SerialPort>()> make_port;
};

// Where a transaction's outcome goes.
enum class Delivery {
  kCallBackFunc,  // the classic callback (or, without one, only the note that there is none)
  kHandler,       // a VarnoReplyHandler with its context, on the worker
  kCaller,        // back to the thread that runs the transaction itself (varnoLinkTransact)
};

// The state a link shares with its sessions: a worker given up by a close may outlive the link,
// and still reads it.
struct LinkCore {
  std::atomic<std::int32_t> state{kClosed};
};

// The session's state machine. Five atomics, each moved only as this table says; a close may
// overlap anything else, which is why each move is a compare-and-exchange or an exchange.
//
//   atomic   from -> to                     who                 when
//   state    Closed -> Idle                 open                the port is open (under handover_)
//            Idle -> Sending                the sender          its write has started (handOver,
//                                                               under handover_)
//            Sending -> AwaitingReply       worker / caller     the write finished and a reply is
//                                                               awaited (changeState)
//            Sending -> Idle                worker / caller     the write failed or timed out, or
//                                                               no callback awaits a reply
//            AwaitingReply -> Idle          worker / caller     the outcome is handed over
//            any -> Closed                  close               first of all (exchange, under
//                                                               handover_); never overwritten
//   pending  None -> ForWorker/ForCaller    the sender          at the hand-over, before Sending
//            -> None                        who ends it         the outcome handed over, or a cut
//                                                               transaction ended by the one it
//                                                               was handed to (endCutTransaction)
//   gate     Running -> ChangingState       worker              around each state change (never
//              -> Running                                       for a caller's own transaction)
//            Running -> InCallback          worker              around the host's callback or
//              -> Running                                       handler
//            Running/InCallback -> Abandoned  close             the worker would not end within a
//                                                               second (or is the caller): final
//   closing  false -> true                  close               where the policy cuts transactions,
//                                                               before it aborts the carrier's
//                                                               waits
//   exit     Staying -> Handed              close               it gave the worker the rest of the
//                                                               close (freeing a link's handle)
//            Staying/Handed -> Exited       worker              as it leaves; calls on_exit if
//                                                               Handed
//
// A worker whose gate is Abandoned changes no state, calls nothing of the host's and leaves at its
// next step; what it still holds (the session, the carrier) is its own, so a later open of the
// same link makes everything anew.
// One successful open's worth of everything. Shared by the link and its worker thread, so that a
// worker given up by a close (see abandon) can finish on its own without touching what a later
// open has made.
struct Session {
  Session(std::shared_ptr<LinkCore> link_core, const LinkPolicy& link_policy)
      : core(std::move(link_core)), policy(link_policy) {}

  const std::shared_ptr<LinkCore> core;
  const LinkPolicy& policy;  // one of the two constants, which outlive every session
  std::unique_ptr<Carrier> carrier;
  ManualResetEvent wake;

  // What the worker may still do. A close that gives up on the worker moves this to kAbandoned;
  // from then on the worker changes no state, calls no callback and leaves at its next step.
  enum Gate : int { kRunning, kChangingState, kInCallback, kAbandoned };
  std::atomic<int> gate{kRunning};
  // Set by a close that cuts the transaction (close_cuts_transaction) before it aborts the
  // carrier's waits: whatever ends the transaction after that ends it as closed.
  std::atomic<bool> closing{false};
  // A close that could not wait for the worker may hand it the last of its work (freeing the
  // link's handle), to be done as it leaves. kExited: the worker left before anything was handed.
  enum Exit : int { kStaying, kHanded, kExited };
  std::atomic<int> exit{kStaying};
  void (*on_exit)(void*) = nullptr;
  void* on_exit_argument = nullptr;

  // The transaction: written by a sender only while the state is Idle, read by whoever does the
  // work only after the hand-over.
  // Handed over and not yet ended, and to whom: the worker, or the caller's own thread.
  enum Pending : int { kNone, kForWorker, kForCaller };
  std::atomic<int> pending{kNone};
  CommandRecord request;
  CommandRecord reply;
  Frame out{};
  Frame in{};
  Delivery delivery = Delivery::kCallBackFunc;
  CallBackFunc callback = nullptr;
  VarnoReplyHandler handler = nullptr;
  void* context = nullptr;
  std::int32_t caller_outcome = 0;
  VarnoFrame caller_reply{};
  std::uint32_t write_timeout_ms = 0;
  std::uint32_t reply_timeout_ms = 0;

  std::atomic<std::int32_t>& state() { return core->state; }
  bool abandoned() const { return gate.load(std::memory_order_acquire) == kAbandoned; }
};

// A port connection: open, close, state and transactions. Open and close are serialized; one
// sender at a time gets through the hand-over, the others are told the link is not idle.
class Link {
 public:
  explicit Link(const LinkPolicy& policy);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // 0, or a negative VARNO_E_* code; the policy says what an open of an open link does and whether
  // each failure's text is logged.
  std::int32_t open(const std::string& name, std::uint32_t baud_rate,
                    const OpenOptions& options = {});
  // True when the close could not finish everything itself: the worker (given up, or the caller
  // of this close) finishes it and then calls `on_exit(argument)`; otherwise on_exit is not used.
  bool close(void (*on_exit)(void*) = nullptr, void* argument = nullptr);
  std::int32_t state() const { return core_->state.load(); }

  // The classic send (kSend* results).
  std::int32_t sendCommand(const CommandRecord& command, const std::uint8_t* data_arr,
                           std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                           CallBackFunc callback, bool wait);
  // The C interface's: 0 or VARNO_E_*. transact returns the outcome, or VARNO_E_* with `reply`
  // untouched when it starts nothing.
  std::int32_t send(const CommandRecord& command, std::uint32_t write_timeout_ms,
                    std::uint32_t reply_timeout_ms, VarnoReplyHandler handler, void* context);
  std::int32_t transact(const CommandRecord& command, std::uint32_t write_timeout_ms,
                        std::uint32_t reply_timeout_ms, VarnoFrame& reply);

 private:
  std::int32_t openLocked(const std::string& name, std::uint32_t baud_rate,
                          const OpenOptions& options);
  bool closeLocked(void (*on_exit)(void*), void* argument);
  // Claims the link, fills in the transaction, starts the write and moves Idle to Sending.
  // 0 and the session it was handed to, or a VARNO_E_* code with nothing started.
  template <typename Prepare>
  std::int32_t handOver(const CommandRecord& command, std::uint32_t write_timeout_ms,
                        std::uint32_t reply_timeout_ms, Prepare prepare,
                        std::shared_ptr<Session>& session);

  const LinkPolicy& policy_;
  const std::shared_ptr<LinkCore> core_;
  std::mutex open_close_;  // one open or close at a time
  std::mutex handover_;    // held by a sender from its test of the state to its hand-over
  // Atomic, so that a sender can hold on to the session through its hand-over even when a close
  // runs on another thread at that moment.
  std::atomic<std::shared_ptr<Session>> session_;
  std::unique_ptr<WorkerThread> worker_;
};

// The default link behind the eight classic functions; never destroyed.
Link& defaultLink();

// The default link, as the classic functions use it.
bool openConnection(const std::string& name, std::uint32_t baud_rate,
                    const OpenOptions& options = {});
void closeConnection();
std::int32_t connectionState();
std::int32_t sendCommand(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                         std::uint8_t param, const std::uint8_t* data_arr,
                         std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                         CallBackFunc callback, bool wait);

// Inside the serial link: the work for one wake-up (or, for kCaller, the whole transaction on the
// caller's thread). False when the session has been abandoned: the worker must leave at once,
// without a word.
bool doTransactionWork(Session& session);
// Ends a transaction handed over to `who` (Session::kForWorker or kForCaller) that a close cut off
// before it could end (where the policy cuts transactions; otherwise such a transaction ends
// without a callback).
bool endCutTransaction(Session& session, int who);
// Moves the state from `expected` to `desired` unless a close got there first; false only when
// the session has been abandoned.
bool changeState(Session& session, std::int32_t expected, std::int32_t desired);

}  // namespace varno

#endif  // VARNO_SERIAL_CONNECTION_H
