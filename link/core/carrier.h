// What carries a link's transactions. A link's state machine (connection.cpp, transaction.cpp:
// Closed, Idle, Sending, AwaitingReply, one transaction at a time, one outcome each) is the same
// whoever does the carrying: the library itself, moving the bytes of a port (a local serial
// port, tcp://, rfc2217://: port_carrier.cpp), or a gateway that owns the bus and is handed whole
// transactions (varno://: remote/gateway_carrier.cpp). The link chooses one at open, by the name.
#ifndef VARNO_SERIAL_CARRIER_H
#define VARNO_SERIAL_CARRIER_H

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "ports/serial_port.h"

namespace varno {

struct Session;
struct OpenOptions;

// finishSending: the command is out, the outcome is still to come.
inline constexpr std::int32_t kCommandSent = std::numeric_limits<std::int32_t>::min();
// awaitOutcome: the session was given up on while it waited; the worker leaves without a word.
inline constexpr std::int32_t kSessionAbandoned = std::numeric_limits<std::int32_t>::min() + 1;

class Carrier {
 public:
  virtual ~Carrier() = default;

  // Opens what `name` names: 0 or a VARNO_E_* code. The classic link's texts are logged when
  // `log_steps`. On failure everything is released again.
  virtual std::int32_t open(const std::string& name, const PortSettings& settings,
                            bool log_steps) = 0;
  // Starts the transaction the session holds (its request, the request's frame, the time-outs),
  // on the sender's thread: false when nothing could be started (VARNO_E_WRITE_START).
  virtual bool start(Session& s) = 0;
  // While Sending: kCommandSent, or the transaction's outcome (it ends here).
  virtual std::int32_t finishSending(Session& s) = 0;
  // While AwaitingReply: the outcome, with the reply in s.reply for kReplyValid; or
  // kSessionAbandoned.
  virtual std::int32_t awaitOutcome(Session& s) = 0;

  // Makes every wait in progress, and every later one, end at once. Any thread, lock-free.
  virtual void abortWaits() = 0;
  // The rest of a close, after the transaction has ended or been given up on: whatever is under
  // way is abandoned, settings restored, everything released.
  virtual void release(bool log_steps) = 0;
  // Releases everything without the close's steps (an open that failed after the carrier's own).
  virtual void drop() = 0;
};

// The carrier a name asks for: a gateway's for "varno://...", otherwise one over the port that
// `options` makes, or the one the name asks for (ports/port_registry.h).
std::unique_ptr<Carrier> makeCarrierFor(const std::string& name, const OpenOptions& options);

}  // namespace varno

#endif  // VARNO_SERIAL_CARRIER_H
