// Links over the network, end to end through the C interface: against Debian's ser2net or
// varno-sim's own servers (whichever tests/support/net_harness.py started), against servers
// that misbehave, and varno:// links against the harness's fake gateway. Natively and, in the
// Windows build, under Wine through Winsock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "network/socket.h"
#include "support/diagnostic_log.h"
#include "varno_link.h"

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kHost = 31;
constexpr std::uint8_t kAnswers = 1;
constexpr std::uint8_t kSilent = 2;
constexpr std::uint8_t kInPieces = 5;  // 4 + 4 + 4 bytes, 20 ms apart
constexpr std::uint8_t kTopAddress = 127;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string local(const char* scheme, const char* port_variable, const std::string& tail = "") {
  return std::string(scheme) + "://127.0.0.1:" + env(port_variable) + tail;
}

// One line to the harness's control port, and its one-line answer ("" when it cannot be had).
std::string control(const std::string& command) {
  std::vector<SocketAddress> addresses;
  const auto port = static_cast<std::uint16_t>(std::stoi(env("VARNO_NET_CONTROL")));
  if (lookUpHost("127.0.0.1", port, true, addresses) != LookupResult::kFound) return "";
  const std::unique_ptr<Socket> socket = makeSocket();
  if (!socket || !socket->createAbortEvent()) return "";
  IoStatus status = socket->startConnect(addresses.front());
  if (status == IoStatus::kWouldBlock) {
    if (!(socket->wait(kSocketWritable, 5000) & kSocketWritable) || !socket->connectResult()) {
      return "";
    }
  } else if (status != IoStatus::kDone) {
    return "";
  }
  const std::string line = command + "\n";
  std::size_t sent = 0;
  while (sent < line.size()) {
    std::size_t n = 0;
    status = socket->send(reinterpret_cast<const std::uint8_t*>(line.data()) + sent,
                          line.size() - sent, n);
    if (status == IoStatus::kWouldBlock) socket->wait(kSocketWritable, 1000);
    if (status != IoStatus::kDone && status != IoStatus::kWouldBlock) return "";
    sent += n;
  }
  std::string answer;
  const auto give_up = Clock::now() + 30s;
  while (Clock::now() < give_up) {
    std::uint8_t buffer[64];
    std::size_t n = 0;
    status = socket->receive(buffer, sizeof buffer, n);
    if (status == IoStatus::kWouldBlock) {
      socket->wait(kSocketReadable, 1000);
      continue;
    }
    if (status != IoStatus::kDone) break;
    answer.append(reinterpret_cast<const char*>(buffer), n);
    const std::size_t end = answer.find('\n');
    if (end != std::string::npos) return answer.substr(0, end);
  }
  return "";
}

VarnoFrame command(std::uint8_t dest, std::uint8_t source = kHost) {
  VarnoFrame f{};
  f.dest = dest;
  f.source = source;
  f.code = 3;
  f.param = 0x85;
  f.data[0] = 0xFF;
  f.data[1] = 0x80;
  f.data[2] = 0x01;
  f.data[3] = 0x02;
  return f;
}

std::int32_t transact(VarnoLink* link, VarnoFrame frame, std::uint32_t reply_timeout_ms,
                      VarnoFrame& reply) {
  return varnoLinkTransact(link, &frame, 1000, reply_timeout_ms, &reply);
}

// Outcomes a handler receives, with the moment each came.
struct Outcomes {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<std::int32_t, Clock::time_point>> seen;

  static void VARNO_CALL handler(void* context, const VarnoFrame*, std::int32_t outcome) {
    auto* self = static_cast<Outcomes*>(context);
    {
      std::lock_guard lock(self->mutex);
      self->seen.emplace_back(outcome, Clock::now());
    }
    self->arrived.notify_all();
  }
  bool waitFor(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return seen.size() >= count; });
  }
};

// Until the link is in `state`, at most `limit`.
bool reaches(VarnoLink* link, std::int32_t state, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (varnoLinkState(link) != state) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Sends `silent` (never answered) and closes the link while it waits: the handler gets
// VARNO_E_CLOSED, promptly.
void closeDuringAWait(VarnoLink* link, const VarnoFrame& silent) {
  Outcomes outcomes;
  ASSERT_EQ(varnoLinkSend(link, &silent, 1000, 60000, &Outcomes::handler, &outcomes), VARNO_OK);
  ASSERT_TRUE(reaches(link, VARNO_STATE_AWAITING_REPLY, 10s));
  const auto closing = Clock::now();
  varnoLinkClose(link);
  EXPECT_LT(Clock::now() - closing, 3s);
  ASSERT_TRUE(outcomes.waitFor(1, 1s));
  EXPECT_EQ(outcomes.seen[0].first, VARNO_E_CLOSED);
}

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("VARNO_NET_RAW").empty()) {
      GTEST_SKIP() << "needs the servers of tests/support/net_harness.py";
    }
    // A busy machine may hold the simulator up between the pieces of a reply well past the
    // default 50 ms; the limit is the one option every link here is opened with.
    lines = {env("VARNO_NET_RAW") + "?inter_byte_timeout=1000",
             env("VARNO_NET_RFC2217") + "?inter_byte_timeout=1000"};
  }

  std::vector<std::string> lines;
};

TEST_F(NetworkTest, FramesCrossRawAndRfc2217LinesIntact) {
  for (const std::string& name : lines) {
    SCOPED_TRACE(name);
    VarnoLink* link = nullptr;
    ASSERT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_OK);
    VarnoFrame reply{};
    ASSERT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);
    EXPECT_EQ(reply.dest, 0x80 | kHost);
    EXPECT_EQ(reply.source, kAnswers);
    EXPECT_EQ(reply.param, 0x85);
    EXPECT_EQ(reply.data[0], 0xFF);
    EXPECT_EQ(reply.data[1], 0x80);

    // Address 127 from 127: byte 0 is 0xFF both ways, the telnet escape byte.
    ASSERT_EQ(transact(link, command(kTopAddress, kTopAddress), 2000, reply), VARNO_REPLY);
    EXPECT_EQ(reply.dest, 0xFF);
    EXPECT_EQ(reply.source, kTopAddress);

    // Pieces 20 ms apart, as a network delivers them, are one reply.
    EXPECT_EQ(transact(link, command(kInPieces), 2000, reply), VARNO_REPLY);
    EXPECT_EQ(reply.source, kInPieces);

    EXPECT_EQ(transact(link, command(kSilent), 150, reply), VARNO_NO_REPLY);
    EXPECT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);

    // A close ends a wait for a reply at once.
    closeDuringAWait(link, command(kSilent));
  }
}

TEST_F(NetworkTest, TheBaudRateAskedForReachesTheTerminal) {
  for (const std::uint32_t baud : {115200u, 250000u, 9600u}) {
    VarnoLink* link = nullptr;
    ASSERT_EQ(varnoLinkOpen(lines[1].c_str(), baud, &link), VARNO_OK) << baud;
    EXPECT_EQ(control("speed"), std::to_string(baud));
    VarnoFrame reply{};
    EXPECT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);
    varnoLinkClose(link);
  }
}

TEST_F(NetworkTest, AServerThatDiesEndsTheTransactionAtOnceAndAReopenWorks) {
  for (const std::string& name : lines) {
    SCOPED_TRACE(name);
    VarnoLink* link = nullptr;
    ASSERT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_OK);
    Outcomes outcomes;
    const VarnoFrame silent = command(kSilent);
    ASSERT_EQ(varnoLinkSend(link, &silent, 1000, 60000, &Outcomes::handler, &outcomes), VARNO_OK);
    ASSERT_TRUE(reaches(link, VARNO_STATE_AWAITING_REPLY, 10s));
    ASSERT_EQ(control("kill"), "ok");
    const auto killed = Clock::now();
    ASSERT_TRUE(outcomes.waitFor(1, 20s)) << "the transaction hangs";
    EXPECT_TRUE(outcomes.seen[0].first == VARNO_READ_FAILED ||
                outcomes.seen[0].first == VARNO_WRITE_FAILED)
        << outcomes.seen[0].first;
    EXPECT_LT(outcomes.seen[0].second - killed, 5s);

    // The next one on the dead connection fails at once too.
    ASSERT_TRUE(reaches(link, VARNO_STATE_IDLE, 5s));
    VarnoFrame reply{};
    const auto start = Clock::now();
    const std::int32_t outcome = transact(link, command(kAnswers), 20000, reply);
    EXPECT_TRUE(outcome == VARNO_READ_FAILED || outcome == VARNO_WRITE_FAILED) << outcome;
    EXPECT_LT(Clock::now() - start, 5s);
    varnoLinkClose(link);

    ASSERT_EQ(control("start"), "ok");
    ASSERT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_OK);
    EXPECT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);
    varnoLinkClose(link);
  }
}

// ser2net serving one terminal through a raw and an RFC 2217 accepter: an RFC 2217 open at once
// after a raw session's close finds the server still giving the terminal back, and ends the
// session with a line of text.
TEST_F(NetworkTest, AnRfc2217OpenRightAfterAnotherSessionOnTheSameTerminal) {
  if (env("VARNO_NET_SHARED").empty() || env("VARNO_NET_SHARED") == "0") {
    GTEST_SKIP() << "ser2net only";
  }
  const std::string shared = local("rfc2217", "VARNO_NET_SHARED", "?inter_byte_timeout=1000");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // The raw session, once ser2net has the terminal back from the round before: a raw open
    // negotiates nothing, so a session ended at once shows only as a transaction that fails.
    VarnoLink* link = nullptr;
    VarnoFrame reply{};
    const auto give_up = Clock::now() + 5s;
    for (;;) {
      ASSERT_EQ(varnoLinkOpen(lines[0].c_str(), 38400, &link), VARNO_OK);
      if (transact(link, command(kAnswers), 2000, reply) == VARNO_REPLY) break;
      varnoLinkClose(link);
      ASSERT_LT(Clock::now(), give_up) << "the raw accepter stays taken";
    }
    for (int i = 0; i < 49; ++i) ASSERT_EQ(transact(link, command(kAnswers), 2000, reply), 0);
    EXPECT_EQ(transact(link, command(kSilent), 100, reply), VARNO_NO_REPLY);
    varnoLinkClose(link);

    ASSERT_EQ(varnoLinkOpen(shared.c_str(), 38400, &link), VARNO_OK);
    EXPECT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);
    varnoLinkClose(link);
  }
}

TEST_F(NetworkTest, AServerThatDoesNotAgreeFailsTheOpenWithinItsLimit) {
  const std::string mute = local("rfc2217", "VARNO_NET_MUTE", "?negotiation_timeout=300");
  VarnoLink* link = nullptr;
  auto start = Clock::now();
  EXPECT_EQ(varnoLinkOpen(mute.c_str(), 38400, &link), VARNO_E_REFUSED_LINE_SETTINGS);
  EXPECT_EQ(link, nullptr);
  EXPECT_GE(Clock::now() - start, 290ms);
  EXPECT_LT(Clock::now() - start, 5s);

  // The baud rate answered with another; COM-PORT-OPTION refused.
  for (const char* port : {"VARNO_NET_PICKY", "VARNO_NET_REFUSING"}) {
    start = Clock::now();
    EXPECT_EQ(varnoLinkOpen(local("rfc2217", port).c_str(), 38400, &link),
              VARNO_E_REFUSED_LINE_SETTINGS)
        << port;
    EXPECT_LT(Clock::now() - start, 5s);
  }

  // A server that ends every session before the line is set: the line is taken, once the open
  // has tried again for its negotiation time-out.
  start = Clock::now();
  EXPECT_EQ(varnoLinkOpen(local("rfc2217", "VARNO_NET_TAKEN", "?negotiation_timeout=300").c_str(),
                          38400, &link),
            VARNO_E_IN_USE);
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_LT(Clock::now() - start, 5s);

  // The classic open says which step failed.
  DiagnosticLog log;
  EXPECT_FALSE(varnoOpenSerialPortA(mute.c_str(), 38400));
  EXPECT_EQ(log.take(), (Texts{"\n openInterface !SetCommState"}));

  // Raw negotiates nothing: the open succeeds, and nobody answers.
  ASSERT_EQ(varnoLinkOpen(local("tcp", "VARNO_NET_MUTE").c_str(), 38400, &link), VARNO_OK);
  VarnoFrame reply{};
  EXPECT_EQ(transact(link, command(kAnswers), 100, reply), VARNO_NO_REPLY);
  varnoLinkClose(link);
}

// Telnet commands decode to no data: a server that sends nothing else, without pause, must not
// hold a transaction past its time-outs, an open past its negotiation time-out, or a close.
TEST_F(NetworkTest, AServerFloodingTelnetCommandsKeepsEveryDeadlineAndLetsCloseThrough) {
  for (const char* port : {"VARNO_NET_FLOOD_NOP", "VARNO_NET_FLOOD_SUB"}) {
    SCOPED_TRACE(port);
    // The flood starts with the command's first byte.
    const std::string name = local("rfc2217", port);
    VarnoLink* link = nullptr;
    ASSERT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_OK);
    const VarnoFrame frame = command(kAnswers);
    VarnoFrame reply{};
    for (int i = 0; i < 2; ++i) {
      const auto start = Clock::now();
      const std::int32_t outcome = varnoLinkTransact(link, &frame, 100, 100, &reply);
      EXPECT_LT(Clock::now() - start, 2s) << i;
      if (std::string(port) == "VARNO_NET_FLOOD_NOP") {
        EXPECT_EQ(outcome, VARNO_NO_REPLY) << i;
      } else {
        // An endless sub-negotiation is a stream out of step: the connection counts as failed.
        EXPECT_TRUE(outcome == VARNO_READ_FAILED || (i > 0 && outcome == VARNO_WRITE_FAILED))
            << i << ": " << outcome;
      }
    }
    const auto closing = Clock::now();
    varnoLinkClose(link);
    EXPECT_LT(Clock::now() - closing, 1s);
  }

  // A close from another thread ends a transaction that waits under the flood.
  VarnoLink* link = nullptr;
  ASSERT_EQ(varnoLinkOpen(local("rfc2217", "VARNO_NET_FLOOD_NOP").c_str(), 38400, &link), VARNO_OK);
  std::int32_t outcome = 1;
  std::thread waiter([&] {
    const VarnoFrame frame = command(kAnswers);
    VarnoFrame reply{};
    outcome = varnoLinkTransact(link, &frame, 1000, 60000, &reply);
  });
  EXPECT_TRUE(reaches(link, VARNO_STATE_AWAITING_REPLY, 10s));
  const auto closing = Clock::now();
  varnoLinkClose(link);
  EXPECT_LT(Clock::now() - closing, 1s);
  waiter.join();  // (the flood itself ends within 15 s)
  EXPECT_LT(Clock::now() - closing, 1s);
  EXPECT_EQ(outcome, VARNO_E_CLOSED);

  // Before any agreement: the open fails at its negotiation time-out.
  const auto start = Clock::now();
  EXPECT_EQ(
      varnoLinkOpen(local("rfc2217", "VARNO_NET_FLOOD_EARLY", "?negotiation_timeout=500").c_str(),
                    38400, &link),
      VARNO_E_REFUSED_LINE_SETTINGS);
  EXPECT_GE(Clock::now() - start, 490ms);
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(NetworkTest, HostileNamesAreClearErrors) {
  const std::string port = env("VARNO_NET_RAW_PORT");
  const std::vector<std::string> malformed = {
      "tcp://127.0.0.1:" + port + "?" + std::string(600, 'x'),
      "tcp://" + std::string(300, 'a') + ":1",
      "tcp://127.0.0.1:0",
      "tcp://127.0.0.1:65536",
      "tcp://127.0.0.1:99999999999",
      "tcp://127.0.0.1",
      "tcp://127.0.0.1:",
      "tcp://:" + port,
      "tcp://127.0.0.1:+1",
      "tcp://127.0.0.1:" + port + "/",
      "tcp://127.0.0.1:" + port + "?",
      "tcp://127.0.0.1:" + port + "?junk=1",
      "tcp://127.0.0.1:" + port + "?connect_timeout",
      "tcp://127.0.0.1:" + port + "?connect_timeout=",
      "tcp://127.0.0.1:" + port + "?connect_timeout=-1",
      "tcp://127.0.0.1:" + port + "?connect_timeout=1s",
      "tcp://127.0.0.1:" + port + "?inter_byte_timeout=0",
      "tcp://127.0.0.1:" + port + "?connect_timeout=10&connect_timeout=20",
      "tcp://127.0.0.1:" + port + "?negotiation_timeout=100",  // raw negotiates nothing
      "rfc2217://127.0.0.1:" + port + "?connect_timeout=100&",
      "tcp://[::1:" + port,
      "tcp://[127.0.0.1]:" + port,
      "tcp://host name:" + port,
      "tcp://host%2f:" + port,
  };
  for (const std::string& name : malformed) {
    VarnoLink* link = nullptr;
    EXPECT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_E_ARGUMENT) << name;
  }
  DiagnosticLog log;
  EXPECT_FALSE(varnoOpenSerialPortA("tcp://127.0.0.1:0", 38400));
  EXPECT_EQ(log.take(), (Texts{"\n openInterface INVALID_HANDLE_VALUE"}));

  // Nobody there, and a connect that cannot finish: no such port, within the time-out.
  VarnoLink* link = nullptr;
  auto start = Clock::now();
  EXPECT_EQ(varnoLinkOpen(local("tcp", "VARNO_NET_CLOSED").c_str(), 38400, &link),
            VARNO_E_NOT_FOUND);
  EXPECT_LT(Clock::now() - start, 5s);
  start = Clock::now();
  EXPECT_EQ(
      varnoLinkOpen(local("tcp", "VARNO_NET_FULL", "?connect_timeout=300").c_str(), 38400, &link),
      VARNO_E_NOT_FOUND);
  EXPECT_GE(Clock::now() - start, 290ms);
  EXPECT_LT(Clock::now() - start, 5s);

  if (env("VARNO_NET_ISOLATED") == "1") {
    // No name server can be reached from here: the lookup fails, in bounded time either way.
    start = Clock::now();
    EXPECT_EQ(varnoLinkOpen("tcp://no-such-host.invalid:4000?connect_timeout=2000", 38400, &link),
              VARNO_E_NOT_FOUND);
    EXPECT_LT(Clock::now() - start, 5s);
  }

  // An IPv6 address, where the system has IPv6.
  if (env("VARNO_NET_MUTE6") != "0") {
    ASSERT_EQ(varnoLinkOpen(("tcp://[::1]:" + env("VARNO_NET_MUTE6")).c_str(), 38400, &link),
              VARNO_OK);
    varnoLinkClose(link);
  }

  // A name that the system knows: localhost (whichever of ::1 and 127.0.0.1 comes first).
  ASSERT_EQ(varnoLinkOpen(("TCP://localhost:" + port).c_str(), 38400, &link), VARNO_OK);
  VarnoFrame reply{};
  EXPECT_EQ(transact(link, command(kAnswers), 2000, reply), VARNO_REPLY);
  varnoLinkClose(link);
}

// varno:// links, against tests/support/fake_gateway.py: the command's code tells the fake what
// to answer. They do not depend on the server under test, so they run beside ser2net only.
constexpr std::uint8_t kQueueTimeoutCode = 6;
constexpr std::uint8_t kStaleFirstCode = 7;
constexpr std::uint8_t kHangUpCode = 8;
constexpr std::uint8_t kSilentCode = 9;
constexpr std::uint32_t kFakeQueueMs = 300;

class GatewayClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("VARNO_NET_GATEWAY").empty()) {
      GTEST_SKIP() << "needs the fake gateway of tests/support/net_harness.py";
    }
    if (env("VARNO_NET_SERVER") == "sim") GTEST_SKIP() << "runs beside ser2net";
    bus = local("varno", "VARNO_NET_GATEWAY", "/bus1");
  }

  static VarnoFrame coded(std::uint8_t code) {
    VarnoFrame f = command(kAnswers);
    f.code = code;
    return f;
  }

  std::string bus;
};

TEST_F(GatewayClientTest, OutcomesRepliesAndTimeOutsAreTheGatewaysAndEveryRequestHasItsOwnId) {
  VarnoLink* link = nullptr;
  // The bus has the gateway's rate: another one asked for is no fault.
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 9600, &link), VARNO_OK);
  EXPECT_EQ(control("client").rfind("network_test", 0), 0u) << control("client");
  VarnoFrame reply{};
  for (std::uint8_t outcome = VARNO_REPLY; outcome <= VARNO_INVALID_REPLY; ++outcome) {
    SCOPED_TRACE(outcome);
    const VarnoFrame frame = coded(outcome);
    ASSERT_EQ(varnoLinkTransact(link, &frame, 1000, 2000, &reply), outcome);
    EXPECT_EQ(reply.dest, outcome == VARNO_REPLY ? 0x80 | kHost : kHost);
    EXPECT_EQ(reply.source, kAnswers);
    EXPECT_EQ(reply.status, outcome == VARNO_REPLY ? 0x11 : 0);
    EXPECT_EQ(reply.data[1], 0x80);
    EXPECT_EQ(varnoLinkState(link), VARNO_STATE_IDLE);
  }
  // The host's time-outs reach the gateway as they are, no limit included; ids count up.
  const std::string previous = control("request");
  const VarnoFrame plain = coded(0);
  ASSERT_EQ(varnoLinkTransact(link, &plain, 123, 4294967295u, &reply), VARNO_REPLY);
  const std::string request = control("request");
  EXPECT_EQ(request.substr(request.find(' ')), " 123 4294967295 0");
  EXPECT_EQ(std::stoul(request), std::stoul(previous) + 1);

  // An answer to another id comes first: it is dropped, and this request gets its own.
  const VarnoFrame stale = coded(kStaleFirstCode);
  ASSERT_EQ(varnoLinkTransact(link, &stale, 100, 100, &reply), VARNO_REPLY);
  EXPECT_EQ(reply.data[0], 0xFF);
  varnoLinkClose(link);
}

std::atomic<std::int32_t> classic_status{1000};
void VARNO_CALL classicCallback(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                                std::uint8_t, std::uint8_t, std::uint8_t*, std::int32_t status) {
  classic_status.store(status);
}

TEST_F(GatewayClientTest, AQueueTimeOutReachesTheHostAsItsOwnCode) {
  VarnoLink* link = nullptr;
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 38400, &link), VARNO_OK);
  const VarnoFrame queued = coded(kQueueTimeoutCode);
  VarnoFrame reply{};
  EXPECT_EQ(varnoLinkTransact(link, &queued, 100, 100, &reply), VARNO_E_QUEUE_TIMEOUT);
  EXPECT_EQ(reply.dest, kHost);
  Outcomes outcomes;
  ASSERT_EQ(varnoLinkSend(link, &queued, 100, 100, &Outcomes::handler, &outcomes), VARNO_OK);
  ASSERT_TRUE(outcomes.waitFor(1, 10s));
  EXPECT_EQ(outcomes.seen[0].first, VARNO_E_QUEUE_TIMEOUT);
  varnoLinkClose(link);

  // The classic functions take the name too; the callback gets the code as its error_status.
  DiagnosticLog log;
  ASSERT_TRUE(varnoOpenSerialPortA(bus.c_str(), 38400));
  std::uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(varnoSendCommand(kAnswers, kHost, kQueueTimeoutCode, 0, data, 100, 100,
                             &classicCallback, true),
            0);
  EXPECT_EQ(classic_status.load(), VARNO_E_QUEUE_TIMEOUT);
  // A send without a callback waits for no answer; the one that comes late is not the next
  // command's.
  ASSERT_EQ(varnoSendCommand(kAnswers, kHost, VARNO_NO_REPLY, 0, data, 100, 100, nullptr, true), 0);
  ASSERT_EQ(
      varnoSendCommand(kAnswers, kHost, VARNO_REPLY, 0, data, 100, 100, &classicCallback, true), 0);
  EXPECT_EQ(classic_status.load(), VARNO_REPLY);
  varnoCloseSerialPort();
}

TEST_F(GatewayClientTest, OpensThatFailSayWhy) {
  VarnoLink* link = nullptr;
  const std::string gateway = "varno://127.0.0.1:" + env("VARNO_NET_GATEWAY");
  EXPECT_EQ(varnoLinkOpen((gateway + "/no-such-bus").c_str(), 38400, &link), VARNO_E_NOT_FOUND);
  for (const std::string& name :
       {gateway, gateway + "/", gateway + "/a b", gateway + "/" + std::string(65, 'b'),
        gateway + "/bus1?inter_byte_timeout=10", gateway + "/bus1?connect_timeout=0",
        std::string("varno://127.0.0.1/bus1")}) {
    EXPECT_EQ(varnoLinkOpen(name.c_str(), 38400, &link), VARNO_E_ARGUMENT) << name;
  }
  EXPECT_EQ(varnoLinkOpen(bus.c_str(), 0, &link), VARNO_E_ARGUMENT);
  EXPECT_EQ(varnoLinkOpen(local("varno", "VARNO_NET_CLOSED", "/bus1").c_str(), 38400, &link),
            VARNO_E_NOT_FOUND);
  // Accepted, and never a word: the open gives up at its connect_timeout.
  const auto start = Clock::now();
  EXPECT_EQ(varnoLinkOpen(local("varno", "VARNO_NET_MUTE", "/bus1?connect_timeout=300").c_str(),
                          38400, &link),
            VARNO_E_NOT_FOUND);
  EXPECT_GE(Clock::now() - start, 290ms);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(link, nullptr);

  DiagnosticLog log;
  EXPECT_FALSE(varnoOpenSerialPortA((gateway + "/no-such-bus").c_str(), 38400));
  EXPECT_EQ(log.take(), (Texts{"\n openInterface INVALID_HANDLE_VALUE"}));
}

TEST_F(GatewayClientTest, AGatewayThatGoesOrFallsSilentEndsTheTransactionWithReadFailed) {
  VarnoLink* link = nullptr;
  VarnoFrame reply{};
  // Gone while the transaction waits, however long its time-outs: at once.
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 38400, &link), VARNO_OK);
  const VarnoFrame hang_up = coded(kHangUpCode);
  auto start = Clock::now();
  EXPECT_EQ(varnoLinkTransact(link, &hang_up, 1000, 60000, &reply), VARNO_READ_FAILED);
  EXPECT_LT(Clock::now() - start, 5s);
  const VarnoFrame plain = coded(0);
  start = Clock::now();
  EXPECT_EQ(varnoLinkTransact(link, &plain, 1000, 60000, &reply), VARNO_READ_FAILED);
  EXPECT_LT(Clock::now() - start, 1s);
  varnoLinkClose(link);

  // There, and silent: the transaction's own time-outs, the gateway's queue time-out and the
  // margin, then the connection is let go (so no late answer can ever match).
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 38400, &link), VARNO_OK);
  const VarnoFrame silent = coded(kSilentCode);
  start = Clock::now();
  EXPECT_EQ(varnoLinkTransact(link, &silent, 100, 100, &reply), VARNO_READ_FAILED);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200 + kFakeQueueMs + 2000 - 10));
  EXPECT_LT(Clock::now() - start, 15s);
  start = Clock::now();
  EXPECT_EQ(varnoLinkTransact(link, &plain, 100, 100, &reply), VARNO_READ_FAILED);
  EXPECT_LT(Clock::now() - start, 1s);
  varnoLinkClose(link);
}

TEST_F(GatewayClientTest, ACloseEndsAWaitAtOnce) {
  VarnoLink* link = nullptr;
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 38400, &link), VARNO_OK);
  const VarnoFrame silent = coded(kSilentCode);
  closeDuringAWait(link, silent);

  // The same for a transaction waited for on another thread.
  ASSERT_EQ(varnoLinkOpen(bus.c_str(), 38400, &link), VARNO_OK);
  std::atomic<std::int32_t> outcome{1000};
  std::thread waiter([&] {
    VarnoFrame reply{};
    outcome.store(varnoLinkTransact(link, &silent, 1000, 60000, &reply));
  });
  ASSERT_TRUE(reaches(link, VARNO_STATE_AWAITING_REPLY, 10s));
  varnoLinkClose(link);
  waiter.join();
  EXPECT_EQ(outcome.load(), VARNO_E_CLOSED);
}

}  // namespace
}  // namespace varno::test
