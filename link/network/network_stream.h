// The byte stream under a network port: one TCP connection to the server, its buffers both ways,
// and for rfc2217:// the telnet around the data (decoded on the way in, negotiations answered,
// the line set at the open, the server's buffers purged when they may hold stale bytes). What is
// a write, a read or a deadline of the transaction is the port's (network_port.cpp).
//
// One thread at a time (the port's lock), except abort().
#ifndef VARNO_NETWORK_NETWORK_STREAM_H
#define VARNO_NETWORK_NETWORK_STREAM_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "network/network_name.h"
#include "network/socket.h"
#include "network/telnet.h"
#include "network/telnet_client.h"
#include "ports/serial_port.h"

namespace varno {

class NetworkStream {
 public:
  using Clock = std::chrono::steady_clock;

  NetworkStream();

  // The abort event; false when the system has none to give.
  bool createAbortEvent();
  // Looks the name's host up and connects to it within its connect_timeout, then starts the
  // session: kNone, or why not (PortError of connectWithin).
  PortError connect(const NetworkPortName& name);
  // rfc2217:// only: agrees BINARY and COM-PORT-OPTION with the server and sets the line to
  // `baud_rate`, 8N1, no flow control, DTR off, opening the session again while the server ends
  // it (see the .cpp). False when it could not, with `error` saying why where there is more to say
  // than that the server refused.
  bool setLine(std::uint32_t baud_rate, PortError& error);
  // Ends every wait in progress and every later one. Any thread, lock-free.
  void abort();
  void close();

  bool aborted() const { return aborted_.load(); }
  // The connection has ended or failed.
  bool broken() const { return broken_; }

  // Takes what the connection has delivered, as far as there is room, and answers the telnet
  // negotiations in it.
  void pump();
  // Received data not yet taken.
  std::size_t available() const { return in_end_ - in_begin_; }
  // Moves up to `size` bytes of received data to `out`; how many.
  std::size_t take(std::uint8_t* out, std::size_t size);
  // Queues one data byte (escaped for telnet); false when there is no room (a server that has
  // stopped reading).
  bool queueData(std::uint8_t byte);
  // Sends what is queued, as far as the connection takes it now.
  void flushOut();
  // Whether everything queued has gone out.
  bool allSent() const { return out_begin_ == out_end_; }
  // Waits for the connection to be ready for `want` (kSocket*) until `deadline` (none: no
  // limit): what was found, 0 when aborted or out of time (a passed deadline gets one look).
  unsigned waitFor(unsigned want, std::optional<Clock::time_point> deadline);

  // The server may hold bytes of an earlier transaction.
  void markStale() { server_stale_ = true; }
  // Empties what is queued here to go out (but the rest of a unit begun) and what has come in,
  // and where the server may hold stale bytes, has it purge its buffers too.
  void clear();

 private:
  bool telnet() const { return protocol_ == NetworkProtocol::kRfc2217; }
  void startSession();
  bool reconnect(Clock::time_point deadline);
  bool queue(const std::uint8_t* bytes, std::size_t size);
  void dropUnsent();
  void purgeServer(bool rx, bool tx);
  template <typename Done, typename Failed>
  bool awaitServer(Done done, Failed failed);
  bool negotiate();
  bool sendLineSettings(std::uint32_t baud_rate);

  static constexpr std::size_t kInCapacity = 4096;
  static constexpr std::size_t kOutCapacity = 1024;

  // Set once in the constructor; abort() reaches it without the lock.
  const std::unique_ptr<Socket> socket_;
  std::atomic<bool> aborted_{false};
  NetworkProtocol protocol_ = NetworkProtocol::kRaw;
  std::uint32_t connect_timeout_ms_ = 0;
  std::uint32_t negotiation_timeout_ms_ = 0;
  SocketAddress address_;  // the one connected to
  bool broken_ = false;
  bool out_of_step_ = false;   // failed because the server's telnet could not be followed
  bool server_stale_ = false;  // the server may hold bytes of an earlier transaction

  telnet::Decoder decoder_;
  TelnetClient telnet_;

  std::array<std::uint8_t, kInCapacity> received_{};
  std::array<std::uint8_t, kInCapacity> in_{};  // received data, not yet taken
  std::size_t in_begin_ = 0;
  std::size_t in_end_ = 0;
  std::array<std::uint8_t, kOutCapacity> out_{};  // to send
  std::array<bool, kOutCapacity> unit_start_{};
  std::size_t out_begin_ = 0;
  std::size_t out_end_ = 0;
};

}  // namespace varno

#endif  // VARNO_NETWORK_NETWORK_STREAM_H
