#include "network/host_lookup.h"

#include <utility>
#include <vector>

#include "network/socket.h"
#include "os/platform.h"

namespace varno {
namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t millisecondsUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up: a wait that ends a little early would only look once more.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= static_cast<std::int64_t>(kInfinite) ? kInfinite - 1
                                                    : static_cast<std::uint32_t>(ms);
}

// A name lookup on a thread of its own, so that a resolver that does not answer cannot hold the
// open past its time-out. Whichever of the two lets go last frees it.
struct Lookup {
  std::atomic<int> references{2};
  std::string host;
  std::uint16_t port = 0;
  std::vector<SocketAddress> addresses;
  LookupResult result = LookupResult::kFailed;
};

void letGo(Lookup* lookup) {
  if (lookup->references.fetch_sub(1) == 1) delete lookup;
}

void lookUpMain(void* argument) {
  auto* lookup = static_cast<Lookup*>(argument);
  lookup->result = lookUpHost(lookup->host, lookup->port, false, lookup->addresses);
  letGo(lookup);
}

LookupResult lookUpInTime(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                          std::vector<SocketAddress>& addresses) {
  auto* lookup = new Lookup;
  lookup->host = host;
  lookup->port = port;
  WorkerThread thread;
  if (!thread.start(lookUpMain, lookup)) {
    delete lookup;
    return LookupResult::kFailed;
  }
  const bool ended = thread.waitForEnd(millisecondsUntil(deadline));
  // A lookup still under way finishes by itself and frees what it used.
  thread.release();
  LookupResult result = LookupResult::kNotFound;
  if (ended) {
    result = lookup->result;
    addresses = std::move(lookup->addresses);
  }
  letGo(lookup);
  return result;
}

}  // namespace

unsigned waitForSocket(Socket& socket, unsigned want, std::optional<Clock::time_point> deadline,
                       const std::atomic<bool>& aborted) {
  for (;;) {
    if (aborted.load()) return 0;
    std::uint32_t timeout = kInfinite;
    bool last_look = false;
    if (deadline) {
      timeout = millisecondsUntil(*deadline);
      last_look = timeout == 0;
    }
    const unsigned found = socket.wait(want, timeout);
    if (found & kSocketAborted) return 0;
    if (found & want) return found & want;
    if (last_look) return 0;
  }
}

bool connectTo(Socket& socket, const SocketAddress& address, Clock::time_point deadline,
               const std::atomic<bool>& aborted) {
  const IoStatus status = socket.startConnect(address);
  if (status == IoStatus::kDone) return true;
  return status == IoStatus::kWouldBlock &&
         waitForSocket(socket, kSocketWritable, deadline, aborted) != 0 && socket.connectResult();
}

PortError connectWithin(Socket& socket, const std::string& host, std::uint16_t port,
                        Clock::time_point deadline, const std::atomic<bool>& aborted,
                        SocketAddress* connected) {
  std::vector<SocketAddress> addresses;
  LookupResult found = lookUpHost(host, port, true, addresses);
  if (found == LookupResult::kNotFound) found = lookUpInTime(host, port, deadline, addresses);
  if (found != LookupResult::kFound) {
    return found == LookupResult::kFailed ? PortError::kResources : PortError::kNotFound;
  }
  // Every address the name has, in turn ("localhost" may be ::1 first, with the server on
  // 127.0.0.1 only), within the one time-out.
  for (const SocketAddress& address : addresses) {
    if (connectTo(socket, address, deadline, aborted)) {
      if (connected != nullptr) *connected = address;
      return PortError::kNone;
    }
    if (aborted.load() || Clock::now() >= deadline) break;
  }
  socket.close();
  return PortError::kNotFound;
}

}  // namespace varno
