#include "core/connection.h"

#include <cstring>
#include <new>
#include <thread>

#include "core/classic_policy.h"
#include "core/diagnostic.h"

namespace varno {
namespace {

constexpr std::uint32_t kWorkerEndWaitMs = 1000;

void workerMain(void* argument) {
  auto* handed_over = static_cast<std::shared_ptr<Session>*>(argument);
  const std::shared_ptr<Session> session = std::move(*handed_over);
  delete handed_over;

  std::atomic<std::int32_t>& state = session->state();
  bool abandoned = false;
  while (state.load() != kClosed) {
    if (session->wake.wait(kInfinite)) {
      session->wake.reset();
      if (state.load() == kClosed) break;
      if (!doTransactionWork(*session)) {
        abandoned = true;
        break;
      }
    }
    if (session->abandoned()) {
      abandoned = true;
      break;
    }
  }
  if (!abandoned && endCutTransaction(*session, Session::kForWorker) &&
      session->policy.logs_steps) {
    logDiagnostic("\n THREAD EXIT");
  }
  if (session->exit.exchange(Session::kExited) == Session::kHanded) {
    session->on_exit(session->on_exit_argument);
  }
}

// A worker that would not end: from now on it may not change the state, call the callback or
// use the port; it leaves by itself once whatever holds it (a callback, say) returns.
void abandon(Session& session) {
  for (;;) {
    int gate = session.gate.load();
    if (gate == Session::kAbandoned) break;
    // A state change is a few instructions: let it finish, so it cannot land after the close.
    // A callback may take any time: it began before the close and is left to end by itself.
    if (gate == Session::kChangingState) {
      std::this_thread::yield();
      continue;
    }
    if (session.gate.compare_exchange_weak(gate, Session::kAbandoned)) break;
  }
  session.carrier->abortWaits();
  session.wake.set();
}

}  // namespace

Link::Link(const LinkPolicy& policy) : policy_(policy), core_(std::make_shared<LinkCore>()) {}

Link::~Link() {
  close();
}

std::int32_t Link::open(const std::string& name, std::uint32_t baud_rate,
                        const OpenOptions& options) {
  std::lock_guard lock(open_close_);
  try {
    return openLocked(name, baud_rate, options);
  } catch (const std::bad_alloc&) {
    return VARNO_E_RESOURCES;
  }
}

std::int32_t Link::openLocked(const std::string& name, std::uint32_t baud_rate,
                              const OpenOptions& options) {
  if (name.empty()) return VARNO_E_ARGUMENT;
  if (policy_.open_closes_first) {
    closeLocked(nullptr, nullptr);
  } else if (core_->state.load() != kClosed) {
    return VARNO_E_IN_USE;
  }
  const auto log = [this](const char* text) {
    if (policy_.logs_steps) logDiagnostic(text);
  };

  // Everything is made before the connection becomes visible: once the state is Idle, only the
  // start of the thread can still fail.
  auto session = std::make_shared<Session>(core_, policy_);
  auto worker = std::make_unique<WorkerThread>();
  auto handed_over = std::make_unique<std::shared_ptr<Session>>(session);
  session->carrier = makeCarrierFor(name, options);

  if (!session->wake.valid()) {
    log(classicOpenText(OpenStep::kCreateEvents));
    return VARNO_E_RESOURCES;
  }
  // A name is cut at a NUL by every call below: what follows it would be ignored.
  if (name.find('\0') != std::string::npos) {
    log(classicOpenText(OpenStep::kOpenDevice));
    return VARNO_E_NOT_FOUND;
  }
  const std::int32_t opened =
      session->carrier->open(name, {baud_rate, options.rts}, policy_.logs_steps);
  if (opened != 0) return opened;

  {
    std::lock_guard claim(handover_);
    session_.store(session);
    core_->state.store(kIdle);
  }
  if (!worker->start(workerMain, handed_over.get())) {
    {
      std::lock_guard claim(handover_);
      core_->state.store(kClosed);
      session_.store(nullptr);
    }
    session->carrier->drop();
    log("\n openInterface !CreateThread");
    return VARNO_E_RESOURCES;
  }
  handed_over.release();  // the worker's now
  worker_ = std::move(worker);
  return 0;
}

bool Link::close(void (*on_exit)(void*), void* argument) {
  std::lock_guard lock(open_close_);
  return closeLocked(on_exit, argument);
}

bool Link::closeLocked(void (*on_exit)(void*), void* argument) {
  std::shared_ptr<Session> session;
  {
    // No sender is between its test of the state and its hand-over now.
    std::lock_guard claim(handover_);
    if (core_->state.exchange(kClosed) == kClosed) return false;
    session = session_.exchange(nullptr);
  }
  if (policy_.close_cuts_transaction) {
    // A transaction under way ends now, as closed, rather than at its time-outs.
    session->closing.store(true);
    session->carrier->abortWaits();
  }
  session->wake.set();

  // A handler may close its own link: the worker cannot wait for itself, so it finishes the
  // close once the handler has returned.
  const bool from_worker = policy_.close_cuts_transaction && worker_->isCurrentThread();
  bool handed = false;
  if (from_worker || !worker_->waitForEnd(kWorkerEndWaitMs)) {
    if (!from_worker) logDiagnostic("\n !!! closeInterface thread is terminated !!!");
    if (policy_.close_cuts_transaction && on_exit != nullptr) {
      session->on_exit = on_exit;
      session->on_exit_argument = argument;
      int staying = Session::kStaying;
      handed = session->exit.compare_exchange_strong(staying, Session::kHanded);
    }
    abandon(*session);
  }
  worker_->release();
  worker_.reset();
  session->carrier->release(policy_.logs_steps);
  if (policy_.logs_steps) logDiagnostic("\n interface has been closed");
  return handed;
}

template <typename Prepare>
std::int32_t Link::handOver(const CommandRecord& command, std::uint32_t write_timeout_ms,
                            std::uint32_t reply_timeout_ms, Prepare prepare,
                            std::shared_ptr<Session>& held) {
  // One sender at a time from here to the hand-over; another one at this moment is told the link
  // is busy, and puts nothing on the wire.
  std::unique_lock claim(handover_, std::try_to_lock);
  if (!claim.owns_lock()) return VARNO_E_BUSY;
  const std::int32_t now = core_->state.load();
  if (now != kIdle) return now == kClosed ? VARNO_E_CLOSED : VARNO_E_BUSY;
  held = session_.load();
  if (!held) return VARNO_E_CLOSED;
  Session& s = *held;
  s.request = command;
  s.request.status = 0;
  s.request.error = 0;
  if (!encodeFrame(s.request, s.out.data())) return VARNO_E_WRITE_START;
  s.reply_timeout_ms = reply_timeout_ms;
  s.write_timeout_ms = write_timeout_ms;
  prepare(s);
  if (!s.carrier->start(s)) return VARNO_E_WRITE_START;
  s.pending.store(s.delivery == Delivery::kCaller ? Session::kForCaller : Session::kForWorker);
  std::int32_t idle = kIdle;
  core_->state.compare_exchange_strong(idle, kSending);
  return 0;
}

std::int32_t Link::sendCommand(const CommandRecord& command, const std::uint8_t* data_arr,
                               std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                               CallBackFunc callback, bool wait) {
  if (core_->state.load() != kIdle) return kSendNotIdle;
  if (data_arr == nullptr) return kSendNullData;
  CommandRecord request = command;
  std::memcpy(request.data_arr, data_arr, kDataSize);
  std::shared_ptr<Session> held;
  const std::int32_t result = handOver(
      request, write_timeout_ms, reply_timeout_ms,
      [callback](Session& s) {
        s.delivery = Delivery::kCallBackFunc;
        s.callback = callback;
      },
      held);
  if (result == VARNO_E_WRITE_START) return kSendWriteNotStarted;
  if (result != 0) return kSendNotIdle;
  held->wake.set();

  if (wait) {
    for (;;) {
      sleepMilliseconds(1);
      const std::int32_t now = core_->state.load();
      if (now == kIdle || now == kClosed) break;
    }
  }
  return kSendStarted;
}

std::int32_t Link::send(const CommandRecord& command, std::uint32_t write_timeout_ms,
                        std::uint32_t reply_timeout_ms, VarnoReplyHandler handler, void* context) {
  if (handler == nullptr) return VARNO_E_ARGUMENT;
  std::shared_ptr<Session> held;
  const std::int32_t result = handOver(
      command, write_timeout_ms, reply_timeout_ms,
      [handler, context](Session& s) {
        s.delivery = Delivery::kHandler;
        s.handler = handler;
        s.context = context;
      },
      held);
  if (result == 0) held->wake.set();
  return result;
}

std::int32_t Link::transact(const CommandRecord& command, std::uint32_t write_timeout_ms,
                            std::uint32_t reply_timeout_ms, VarnoFrame& reply) {
  std::shared_ptr<Session> held;
  const std::int32_t result = handOver(
      command, write_timeout_ms, reply_timeout_ms,
      [](Session& s) { s.delivery = Delivery::kCaller; }, held);
  if (result != 0) return result;
  // The worker is idle and stays asleep: the exchange runs here, without a hand-over between
  // threads. A close from another thread aborts its waits like the worker's.
  Session& s = *held;
  doTransactionWork(s);
  endCutTransaction(s, Session::kForCaller);
  reply = s.caller_reply;
  return s.caller_outcome;
}

Link& defaultLink() {
  // Made at first use and never destroyed: the library runs no code of its own when it is loaded
  // or unloaded, and a host that exits without closing leaves the worker a valid connection.
  static Link* const instance = new Link(kClassicPolicy);
  return *instance;
}

bool changeState(Session& session, std::int32_t expected, std::int32_t desired) {
  if (session.delivery == Delivery::kCaller) {
    // The caller's own transaction: no worker to give up on, and the worker's gate is not its to
    // take (the worker may still be in the handler of the transaction before).
    session.state().compare_exchange_strong(expected, desired);
    return true;
  }
  int gate = Session::kRunning;
  if (!session.gate.compare_exchange_strong(gate, Session::kChangingState)) return false;
  // Fails harmlessly when a close has set Closed meanwhile: Closed is never overwritten.
  session.state().compare_exchange_strong(expected, desired);
  session.gate.store(Session::kRunning);
  return true;
}

bool openConnection(const std::string& name, std::uint32_t baud_rate, const OpenOptions& options) {
  return defaultLink().open(name, baud_rate, options) == 0;
}

void closeConnection() {
  defaultLink().close();
}

std::int32_t connectionState() {
  return defaultLink().state();
}

std::int32_t sendCommand(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                         std::uint8_t param, const std::uint8_t* data_arr,
                         std::uint32_t write_timeout_ms, std::uint32_t reply_timeout_ms,
                         CallBackFunc callback, bool wait) {
  CommandRecord command;
  command.dest = dest;
  command.source = source;
  command.code = code;
  command.param = param;
  return defaultLink().sendCommand(command, data_arr, write_timeout_ms, reply_timeout_ms, callback,
                                   wait);
}

}  // namespace varno
