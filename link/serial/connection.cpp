#include "serial/connection.h"

#include <thread>

#include "diagnostic.h"

namespace varno {
namespace {

constexpr std::uint32_t kWorkerEndWaitMs = 1000;

struct PortConnection {
  std::atomic<std::int32_t> state{kClosed};
  // Atomic, so that a sender can hold on to the session through its hand-over even when a close
  // runs on another thread at that moment.
  std::atomic<std::shared_ptr<Session>> session;
  std::unique_ptr<WorkerThread> worker;
};

// Made at first use and never destroyed: the library runs no code of its own when it is loaded
// or unloaded, and a host that exits without closing leaves the worker a valid connection.
PortConnection& connection() {
  static PortConnection* const instance = new PortConnection;
  return *instance;
}

void workerMain(void* argument) {
  auto* handed_over = static_cast<std::shared_ptr<Session>*>(argument);
  const std::shared_ptr<Session> session = std::move(*handed_over);
  delete handed_over;

  std::atomic<std::int32_t>& state = linkState();
  while (state.load() != kClosed) {
    if (session->wake.wait(kInfinite)) {
      session->wake.reset();
      if (state.load() == kClosed) break;
      if (!doTransactionWork(*session)) return;
    }
    if (session->abandoned()) return;
  }
  if (!session->abandoned()) logDiagnostic("\n THREAD EXIT");
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
  session.port->abortWaits();
  session.wake.set();
}

void failOpen(const char* message, SerialPort& port) {
  logDiagnostic(message);
  port.close();
}

}  // namespace

std::atomic<std::int32_t>& linkState() {
  return connection().state;
}

std::shared_ptr<Session> currentSession() {
  return connection().session.load();
}

std::int32_t connectionState() {
  return connection().state.load();
}

bool changeState(Session& session, std::int32_t expected, std::int32_t desired) {
  int gate = Session::kRunning;
  if (!session.gate.compare_exchange_strong(gate, Session::kChangingState)) return false;
  // Fails harmlessly when a close has set Closed meanwhile: Closed is never overwritten.
  connection().state.compare_exchange_strong(expected, desired);
  session.gate.store(Session::kRunning);
  return true;
}

bool openConnection(const std::string& name, std::uint32_t baud_rate, const OpenOptions& options) {
  if (name.empty()) return false;
  closeConnection();

  PortConnection& c = connection();
  auto session = std::make_shared<Session>();
  session->port = options.make_port ? options.make_port() : makeSystemSerialPort();
  SerialPort& port = *session->port;

  port.createEvents();
  if (!port.open(name)) {
    failOpen("\n openInterface INVALID_HANDLE_VALUE", port);
    return false;
  }
  struct Step {
    bool (*run)(SerialPort&, const LineSettings&);
    const char* failure;
  };
  static const Step kSteps[] = {
      {[](SerialPort& p, const LineSettings&) { return p.purge(kPurgeAll); },
       "\n openInterface !PurgeComm"},
      {[](SerialPort& p, const LineSettings&) { return p.saveEventMask(); },
       "\n openInterface !GetCommMask"},
      {[](SerialPort& p, const LineSettings&) { return p.saveLineSettings(); },
       "\n openInterface !GetCommState"},
      {[](SerialPort& p, const LineSettings&) { return p.saveTimeouts(); },
       "\n openInterface !GetCommTimeouts"},
      {[](SerialPort& p, const LineSettings&) { return p.setQueueSizes(kQueueSize, kQueueSize); },
       "\n openInterface !SetupComm"},
      {[](SerialPort& p, const LineSettings& s) { return p.applyLineSettings(s); },
       "\n openInterface !SetCommState"},
      {[](SerialPort& p, const LineSettings&) { return p.applyTimeouts(); },
       "\n openInterface !SetCommTimeouts"},
      {[](SerialPort& p, const LineSettings&) { return p.applyEventMask(); },
       "\n openInterface !SetCommMask"},
      {[](SerialPort& p, const LineSettings&) { return p.clearErrors(); },
       "\n openInterface !ClearCommError"},
  };
  const LineSettings settings{baud_rate, options.rts};
  for (const Step& step : kSteps) {
    if (!step.run(port, settings)) {
      failOpen(step.failure, port);
      return false;
    }
  }

  c.session.store(session);
  c.state.store(kIdle);
  auto worker = std::make_unique<WorkerThread>();
  auto* handed_over = new std::shared_ptr<Session>(session);
  if (!worker->start(workerMain, handed_over)) {
    delete handed_over;
    logDiagnostic("\n openInterface !CreateThread");
    c.state.store(kClosed);
    c.session.store(nullptr);
    port.close();
    return false;
  }
  c.worker = std::move(worker);
  return true;
}

void closeConnection() {
  PortConnection& c = connection();
  if (c.state.exchange(kClosed) == kClosed) return;
  const std::shared_ptr<Session> session = c.session.exchange(nullptr);
  session->wake.set();

  if (!c.worker->waitForEnd(kWorkerEndWaitMs)) {
    abandon(*session);
    logDiagnostic("\n !!! closeInterface thread is terminated !!!");
  }
  SerialPort& port = *session->port;
  port.cancelIo();
  logDiagnostic("\n closeInterface I/O is canceled");
  c.worker->release();
  c.worker.reset();
  port.purge(kPurgeTxAbort | kPurgeRxAbort);
  port.purge(kPurgeTxClear | kPurgeRxClear);
  port.restoreSettings();
  port.close();
  logDiagnostic("\n interface has been closed");
}

}  // namespace varno
