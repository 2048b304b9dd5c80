// varno-gateway as its users meet it: a child process owning simulated buses (pseudo-terminals),
// clients speaking the protocol with the codec, a bytes-only client in Python with pyserial.
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway_harness.h"
#include "simulator.h"
#include "varno_link.h"

namespace varno::gwtest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kPerClient = 100;  // the sanitizers make every transaction several times dearer
#else
constexpr int kPerClient = 1000;
#endif

// Devices on the simulated bus: 1 answers (echoing the data word), 2 is silent, 3 answers late,
// 7 answers with the decimal 21.5.
sim::DeviceBehaviour late(std::uint32_t ms) {
  sim::DeviceBehaviour b;
  b.delay_ms = ms;
  return b;
}

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/varno-gateway-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    sim_.setDevice(1);
    sim::DeviceBehaviour silent;
    silent.silent = true;
    sim_.setDevice(2, silent);
    sim_.setDevice(3, late(300));
    sim::DeviceBehaviour decimal;
    decimal.data = std::array<std::uint8_t, 4>{0xD7, 0x00, 0x00, 0x01};
    sim_.setDevice(7, decimal);
  }
  void TearDown() override {
    // Every run ends as the service's would: cleanly, and (in the sanitizer builds) with
    // nothing reported.
    if (gateway_ != nullptr && gateway_->pid() > 0) {
      EXPECT_EQ(gateway_->stop(), 0);
      const std::string log = gateway_->log();
      EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
      EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }
    gateway_.reset();
    std::system(("rm -rf " + dir_).c_str());
  }

  std::string busSection(const std::string& extra = "") const {
    return "[[bus]]\nname = \"bench\"\nport = \"" + sim_.path() +
           "\"\nbaud = 38400\nraw_listen = \"127.0.0.1:0\"\n" + extra + "\n";
  }

  // Starts the gateway; false (with the log) when its listener does not come up.
  void start(const std::string& bus_extra = "", const std::string& more = "",
             const std::string& gateway_extra = "") {
    const std::string text = "[gateway]\nlisten = \"127.0.0.1:0\"\nhttp = \"127.0.0.1:0\"\n" +
                             gateway_extra + "\n" + busSection(bus_extra) + more;
    gateway_ = std::make_unique<Gateway>(dir_, text);
    port_ = gateway_->port("gateway");
    raw_port_ = gateway_->port("bus bench raw");
    http_port_ = gateway_->port("http");
    ASSERT_GT(port_, 0) << gateway_->log();
    ASSERT_TRUE(gateway_->waitForLog("bus bench: ", " open")) << gateway_->log();
  }

  std::unique_ptr<Client> client(const std::string& bus = "bench") {
    auto c = std::make_unique<Client>(port_);
    EXPECT_TRUE(c->connected());
    const auto welcome = c->hello(bus);
    EXPECT_TRUE(welcome.has_value());
    if (welcome) {
      EXPECT_EQ(welcome->result, 0);
    }
    return c;
  }

  std::string dir_;
  sim::Simulator sim_;
  std::unique_ptr<Gateway> gateway_;
  int port_ = -1;
  int raw_port_ = -1;
  int http_port_ = -1;
};

// Every client's replies are its own: its ids in the order sent, its data word echoed.
TEST_F(GatewayTest, ThirtyTwoClientsNeverGetEachOthersReplies) {
  start("queue_timeout_ms = 20000");
  constexpr int kClients = 32;
  constexpr int kWindow = 4;  // requests each client keeps in flight
  std::atomic<int> crossed{0}, other{0}, done{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      auto me = client();
      int sent = 0;
      for (int got = 0; got < kPerClient;) {
        while (sent < kPerClient && sent - got < kWindow) {
          const std::uint32_t word =
              static_cast<std::uint32_t>(c) << 24 | static_cast<std::uint32_t>(sent);
          me->transact(static_cast<std::uint32_t>(sent), command(1, word, 31), 2000, 2000);
          ++sent;
        }
        const auto r = me->result();
        if (!r) {
          ++other;
          return;
        }
        const std::uint32_t want =
            static_cast<std::uint32_t>(c) << 24 | static_cast<std::uint32_t>(got);
        if (r->id != static_cast<std::uint32_t>(got) || wordOf(r->frame) != want ||
            r->frame.source != 1 || (r->frame.dest & 0x7F) != 31) {
          ++crossed;
        } else if (r->outcome != 0) {
          ++other;
        } else {
          ++done;
        }
        ++got;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(crossed, 0);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(done, kClients * kPerClient);
  const std::string metrics = fetchMetrics(http_port_);
  EXPECT_EQ(
      metric(metrics, "varno_gateway_bus_transactions_total{bus=\"bench\",outcome=\"reply\"}"),
      kClients * kPerClient)
      << metrics;
  EXPECT_EQ(metric(metrics, "varno_gateway_bus_open{bus=\"bench\"}"), 1);
}

// Round robin: a client asking a dead address back to back, with many requests queued, holds
// each live client up by about one reply time-out, not by its whole queue.
TEST_F(GatewayTest, DeadAddressCostsOthersAboutOneTimeoutPerTurn) {
  start("queue_timeout_ms = 20000");
  constexpr std::uint32_t kDeadTimeout = 50;
  constexpr int kDeadQueue = 16;  // in turn (FIFO) a live request would wait 16 x 50 ms
  std::atomic<bool> stop{false};
  std::atomic<int> dead_done{0}, dead_other{0};
  std::thread dead([&] {
    auto me = client();
    std::uint32_t sent = 0;
    for (; sent < kDeadQueue; ++sent) me->transact(sent, command(2, sent), 100, kDeadTimeout);
    while (!stop) {
      const auto r = me->result();
      if (!r) return;
      (r->outcome == VARNO_NO_REPLY ? dead_done : dead_other)++;
      me->transact(sent, command(2, sent), 100, kDeadTimeout);
      ++sent;
    }
  });
  std::mutex mutex;
  std::vector<double> waits_ms;
  std::vector<std::thread> live;
  for (int c = 0; c < 7; ++c) {
    live.emplace_back([&, c] {
      auto me = client();
      for (std::uint32_t n = 0; n < 20; ++n) {
        const auto t0 = Clock::now();
        me->transact(n, command(1, static_cast<std::uint32_t>(c) << 16 | n), 100, 2000);
        const auto r = me->result();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->outcome, 0);
        EXPECT_EQ(wordOf(r->frame), static_cast<std::uint32_t>(c) << 16 | n);
        std::lock_guard<std::mutex> lock(mutex);
        waits_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
    });
  }
  for (auto& t : live) t.join();
  stop = true;
  dead.join();
  std::sort(waits_ms.begin(), waits_ms.end());
  const double p90 = waits_ms[waits_ms.size() * 9 / 10];
  // One dead time-out plus seven short exchanges per turn; in turn it would be 800 ms.
  EXPECT_LT(p90, 3 * kDeadTimeout + 100) << "median " << waits_ms[waits_ms.size() / 2];
  EXPECT_GE(dead_done, 10);  // the dead client had its turns too
  EXPECT_EQ(dead_other, 0);
}

// A client that goes away mid-request: its queued requests never reach the bus, the one on the
// bus runs to its end and its late reply goes to nobody else.
TEST_F(GatewayTest, ClientThatDisconnectsLosesItsQueueAndItsReply) {
  start();
  auto leaving = client();
  leaving->transact(1, command(3, 0xA1), 100, 1000);  // answered 300 ms late
  leaving->transact(2, command(1, 0xA2), 100, 1000);
  leaving->transact(3, command(1, 0xA3), 100, 1000);
  ASSERT_TRUE(sim_.waitForFrames(1, kGiveUp));
  leaving->close();
  auto staying = client();
  staying->transact(9, command(1, 0xB1), 100, 1000);
  const auto r = staying->result();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, 9u);
  EXPECT_EQ(r->outcome, 0);
  EXPECT_EQ(wordOf(r->frame), 0xB1u);
  EXPECT_EQ(r->frame.source, 1);
  ASSERT_TRUE(sim_.waitUntilIdle(2, kGiveUp));
  const auto frames = sim_.receivedFrames();
  ASSERT_EQ(frames.size(), 2u);  // the leaving client's first, then the staying one's
  CommandRecord first;
  ASSERT_TRUE(decodeFrame(frames[0].data(), first));
  EXPECT_EQ(wordOf(first), 0xA1u);
}

// A late reply is not passed on as the next command's, which may be another client's: a reply
// from another device, to another address or for another code is not the command's reply.
TEST_F(GatewayTest, ALateReplyNeverReachesAnotherClient) {
  sim::DeviceBehaviour elsewhere;
  elsewhere.reply_dest = 9;
  sim_.setDevice(8, elsewhere);
  start();
  auto first = client();
  auto second = client();
  first->transact(1, command(3, 0xA1), 100, 100);  // answered at 300 ms: too late
  ASSERT_TRUE(sim_.waitForFrames(1, kGiveUp));
  second->transact(2, command(1, 0xB2), 100, 2000);
  const auto a = first->result();
  const auto b = second->result();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->outcome, VARNO_NO_REPLY);
  // The second command went out while device 3 was still due to answer the first.
  if (b->outcome == VARNO_REPLY) {
    EXPECT_EQ(wordOf(b->frame), 0xB2u);
    EXPECT_EQ(b->frame.source, 1);
  } else {
    EXPECT_EQ(b->outcome, VARNO_INVALID_REPLY);
    EXPECT_EQ(wordOf(b->frame), 0xB2u);  // the command, addresses swapped
  }
  second->transact(3, command(8, 0xC3), 100, 2000);
  const auto c = second->result();
  ASSERT_TRUE(c);
  EXPECT_EQ(c->outcome, VARNO_INVALID_REPLY);
  EXPECT_EQ(c->frame.source, 8);
  EXPECT_EQ(c->frame.dest, 31);
}

// A request that waited too long for the bus is answered at once with its own code, and never
// reaches the bus.
TEST_F(GatewayTest, QueueTimeOutIsAnsweredAtOnceAndNothingIsSent) {
  start("queue_timeout_ms = 200\nmax_timeout_ms = 5000");
  auto holder = client();
  holder->transact(1, command(2, 0x11), 100, 1500);  // the bus is busy for 1.5 s
  ASSERT_TRUE(sim_.waitForFrames(1, kGiveUp));
  auto waiter = client();
  const auto t0 = Clock::now();
  waiter->transact(5, command(1, 0x22), 100, 100);
  const auto r = waiter->result();
  const auto waited = Clock::now() - t0;
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, 5u);
  EXPECT_EQ(r->outcome, VARNO_E_QUEUE_TIMEOUT);
  EXPECT_EQ(r->bus_time_us, 0u);
  EXPECT_EQ(r->frame.dest, 31);  // the command, addresses swapped
  EXPECT_EQ(r->frame.source, 1);
  EXPECT_GE(waited, 190ms);
  EXPECT_LT(waited, 1300ms);  // before the holder's transaction has ended
  const auto held = holder->result();
  ASSERT_TRUE(held);
  EXPECT_EQ(held->outcome, VARNO_NO_REPLY);
  EXPECT_GE(held->bus_time_us, 1400000u);  // its own reply time-out, not the bus default
  EXPECT_EQ(sim_.receivedFrames().size(), 1u);
}

// HELLO for a bus it does not have, a version it does not speak, bytes of another protocol,
// and floods: each answered as documented, nothing of them on the bus, the others served.
TEST_F(GatewayTest, HostileClientsAreClosedAndOthersServed) {
  start();
  {
    Client c(port_);
    const auto w = c.hello("nope");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->result, VARNO_E_NOT_FOUND);
    EXPECT_FALSE(c.next(5000ms));
    EXPECT_TRUE(c.atEnd());
  }
  {
    Client c(port_);
    c.send(proto::Hello{9, "bench", ""});
    const auto m = c.next();
    ASSERT_TRUE(m && std::holds_alternative<proto::Welcome>(*m));
    EXPECT_EQ(std::get<proto::Welcome>(*m).result, VARNO_E_ARGUMENT);
    EXPECT_FALSE(c.next(5000ms));
    EXPECT_TRUE(c.atEnd());
  }
  const std::vector<std::vector<std::uint8_t>> junk = {
      {'G', 'E', 'T', ' ', '/', '\r', '\n'},                  // another protocol
      {0x02, 0,  22, 0, 0, 0, 1, 0, 0, 0, 100, 0, 0, 0, 100,  // TRANSACT before HELLO
       1,    31, 3,  0, 0, 0, 1, 2, 3, 4},
      {0x01, 0xFF, 0xFF},  // a HELLO too long
  };
  for (const auto& bytes : junk) {
    Client c(port_);
    c.sendRaw(bytes);
    EXPECT_FALSE(c.next(5000ms));
    EXPECT_TRUE(c.atEnd());
  }
  {
    auto c = client();
    c->sendRaw({0x02, 0, 21});  // a TRANSACT of the wrong length
    EXPECT_FALSE(c->next(5000ms));
    EXPECT_TRUE(c->atEnd());
  }
  // Raw listener: a byte outside a frame, a start mark inside one, a bad CRC.
  for (const auto& bytes : std::vector<std::vector<std::uint8_t>>{
           {0x01}, {0x81, 0x1F, 0x81}, {0x81, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07}}) {
    const int fd = connectTo(raw_port_);
    sendAll(fd, bytes);
    bool eof = false;
    readSome(fd, 5000ms, &eof);
    EXPECT_TRUE(eof);
    ::close(fd);
  }
  EXPECT_TRUE(sim_.receivedFrames().empty());

  // A client that floods requests and never reads is held back by TCP; others go on.
  auto flood = client();
  std::atomic<bool> flooding{true};
  std::thread flooder([&] {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; i < 2000; ++i) {
      proto::appendMessage(proto::Transact{i, 100, 100, command(1, i)}, bytes);
    }
    const int fd = flood->fd();
    fcntl(fd, F_SETFL, O_NONBLOCK);
    for (std::size_t off = 0; flooding;) {
      const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n > 0) off = (off + static_cast<std::size_t>(n)) % bytes.size();
      if (n < 0) std::this_thread::sleep_for(1ms);
    }
  });
  auto polite = client();
  for (std::uint32_t n = 0; n < 20; ++n) {
    polite->transact(n, command(1, 0x5000 + n), 100, 2000);
    const auto r = polite->result(10s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, 0);
    EXPECT_EQ(wordOf(r->frame), 0x5000 + n);
  }
  flooding = false;
  flooder.join();
  flood.reset();
  // Raw flood: frames back to back, each the client giving up on the one before.
  const int fd = connectTo(raw_port_);
  std::vector<std::uint8_t> frames;
  Frame f;
  for (int i = 0; i < 5000; ++i) {
    encodeFrame(command(2, static_cast<std::uint32_t>(i)), f.data());
    frames.insert(frames.end(), f.begin(), f.end());
  }
  EXPECT_TRUE(sendAll(fd, frames));
  ::close(fd);
  polite->transact(99, command(1, 0x99), 100, 2000);
  const auto r = polite->result(10s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->outcome, 0);
}

// Beyond the connection limit, or from outside `allow`: closed before a byte is read.
TEST_F(GatewayTest, RefusesBeyondTheLimitAndOutsideAllow) {
  start("", "", "max_connections = 3");
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 3; ++i) held.push_back(client());
  Client fourth(port_);
  fourth.send(proto::Hello{1, "bench", ""});
  EXPECT_FALSE(fourth.next(5000ms));
  EXPECT_TRUE(fourth.atEnd());
  held.pop_back();
  ASSERT_TRUE(gateway_->waitForLog("closed (the peer closed)"));
  EXPECT_TRUE(client()->connected());

  const std::string metrics = fetchMetrics(http_port_);
  EXPECT_EQ(
      metric(metrics,
             "varno_gateway_connections_refused_total{listener=\"gateway\",reason=\"limit\"}"),
      1)
      << metrics;

  EXPECT_EQ(gateway_->stop(), 0);
  gateway_.reset();
  start("", "", "allow = [\"10.0.0.0/8\", \"fd00::/8\"]");
  Client outsider(port_);
  outsider.send(proto::Hello{1, "bench", ""});
  EXPECT_FALSE(outsider.next(5000ms));
  EXPECT_TRUE(outsider.atEnd());
  EXPECT_TRUE(gateway_->waitForLog("refused 127.0.0.1:", "(not in allow)"));
}

// SIGTERM with clients busy: exits 0, the port's settings restored and the port free.
TEST_F(GatewayTest, SigtermUnderLoadEndsCleanly) {
  termios before{};
  {
    const int fd = ::open(sim_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    ::close(fd);
  }
  start();
  std::atomic<int> results{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c) {
    clients.emplace_back([&, c] {
      auto me = client();
      for (std::uint32_t n = 0;; ++n) {
        if (!me->transact(n, command(c == 0 ? 3 : 1, n), 100, 500)) return;
        if (!me->result()) return;
        ++results;
      }
    });
  }
  while (results < 30) std::this_thread::sleep_for(1ms);
  gateway_->signal(SIGTERM);
  EXPECT_EQ(gateway_->wait(10s), 0) << gateway_->log();
  for (auto& t : clients) t.join();
  termios after{};
  const int fd = ::open(sim_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  ::close(fd);
  EXPECT_EQ(before.c_cflag, after.c_cflag);
  EXPECT_EQ(before.c_iflag, after.c_iflag);
  EXPECT_EQ(before.c_oflag, after.c_oflag);
  EXPECT_EQ(before.c_lflag, after.c_lflag);
  VarnoLink* link = nullptr;
  EXPECT_EQ(varnoLinkOpen(sim_.path().c_str(), 38400, &link), VARNO_OK);
  varnoLinkClose(link);
}

// The gateway's own polls: the value, its age, and an address that stopped answering asked
// less often.
TEST_F(GatewayTest, PointsArePolledAndADeadAddressBacksOff) {
  start("reply_timeout_ms = 20",
        "[[point]]\nname = \"boiler/temperature\"\nbus = \"bench\"\ndest = 7\ncode = 3\n"
        "decimals = 1\nunit = \"°C\"\nevery_ms = 100\n"
        "[[point]]\nname = \"gone\"\nbus = \"bench\"\ndest = 2\ncode = 3\nevery_ms = 40\n");
  const std::string value =
      "varno_gateway_point_value{point=\"boiler/temperature\",bus=\"bench\",unit=\"°C\"}";
  const std::string misses = "varno_gateway_point_misses{point=\"gone\",bus=\"bench\"}";
  std::optional<Clock::time_point> third, sixth;
  std::string text;
  for (const auto give_up = Clock::now() + kGiveUp; !sixth && Clock::now() < give_up;) {
    text = fetchMetrics(http_port_);
    const double m = metric(text, misses).value_or(0);
    if (m >= 3 && !third) third = Clock::now();
    if (m >= 6) sixth = Clock::now();
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(sixth) << text;
  // Without back-off three more misses take 3 x 40 ms; with it 80 + 160 + 320 ms (less what
  // the reading of the metrics was late by).
  EXPECT_GE(*sixth - *third, 300ms);
  EXPECT_EQ(metric(text, value), 21.5) << text;
  EXPECT_LT(
      metric(text, "varno_gateway_point_age_seconds{point=\"boiler/temperature\",bus=\"bench\"}")
          .value_or(99),
      5);
}

// --check names the line of each fault and exits 1; a sound file passes.
TEST_F(GatewayTest, CheckNamesTheLineOfEachFault) {
  const std::string bad =
      "[gateway]\n"                    // 1
      "listen = \"127.0.0.1:7600\"\n"  // 2
      "allow = [\"127.0.0.0/33\"]\n"   // 3
      "[[bus]]\n"                      // 4
      "name = \"bench\"\n"             // 5
      "port = \"/dev/null\"\n"         // 6
      "baud = 38400\n"                 // 7
      "reply_timout_ms = 100\n"        // 8
      "[[point]]\n"                    // 9
      "name = \"p\"\n"                 // 10
      "bus = \"other\"\n"              // 11
      "dest = 200\n"                   // 12
      "code = 3\n";                    // 13
  Gateway check(dir_, bad, {"--check"});
  EXPECT_EQ(check.wait(kGiveUp), 1);
  const std::string log = check.log();
  const std::string file = check.configPath();
  for (const char* line : {":3: allow", ":8: unknown key 'reply_timout_ms'", ":11: no [[bus]]",
                           ":12: dest must be 0..127"}) {
    EXPECT_NE(log.find(file + line), std::string::npos) << line << " in\n" << log;
  }
  Gateway syntax(dir_, "[gateway]\nlisten = \"127.0.0.1:7600\n", {"--check"});
  EXPECT_EQ(syntax.wait(kGiveUp), 1);
  EXPECT_NE(syntax.log().find(file + ":2:"), std::string::npos) << syntax.log();
  Gateway good(dir_, "[[bus]]\nname = \"b\"\nport = \"/dev/null\"\nbaud = 9600\n", {"--check"});
  EXPECT_EQ(good.wait(kGiveUp), 0) << good.log();
}

// The bytes-only listener and the protocol, from an independent client in Python (pyserial's
// socket:// for the bytes, the protocol written from the README).
TEST_F(GatewayTest, PythonClientsOnBothListeners) {
  start("reply_timeout_ms = 1000");  // the late device's reply comes within it
  const Spawned py = spawn({"/usr/bin/python3", VARNO_GATEWAY_PY_CLIENT, "--raw",
                            std::to_string(raw_port_), "--gateway", std::to_string(port_)},
                           true, false);
  Output out(py.out);
  const std::string text = out.all();
  int status = 0;
  waitpid(py.pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << text;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
}

}  // namespace
}  // namespace varno::gwtest

namespace varno::gwtest {
namespace {

// The adapter unplugged, the server gone: varno-sim killed and started again behind the same
// --link path. Requests get the read-failed outcome at once meanwhile; the bus comes back.
TEST(GatewayReconnect, BusComesBackBehindTheSameLink) {
  char pattern[] = "/tmp/varno-gateway-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string link = dir + "/bus";
  auto start_sim = [&link] {
    const Spawned s = spawn({VARNO_SIM_PROGRAM, "--link", link, "1"}, true, false);
    auto out = std::make_unique<Output>(s.out);
    EXPECT_TRUE(out->waitFor("/dev/pts/"));
    return std::make_pair(s.pid, std::move(out));
  };
  auto sim = start_sim();
  Gateway gateway(dir,
                  "[gateway]\nlisten = \"127.0.0.1:0\"\nhttp = \"127.0.0.1:0\"\n"
                  "[[bus]]\nname = \"bench\"\nport = \"" +
                      link +
                      "\"\nbaud = 38400\n"
                      "reconnect_min_ms = 50\nreconnect_max_ms = 400\n");
  const int port = gateway.port("gateway");
  const int http = gateway.port("http");
  ASSERT_TRUE(gateway.waitForLog("bus bench: ", " open")) << gateway.log();
  Client c(port);
  ASSERT_TRUE(c.hello("bench"));
  c.transact(1, command(1, 1), 100, 3000);
  auto r = c.result();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->outcome, 0);

  kill(sim.first, SIGKILL);
  waitpid(sim.first, nullptr, 0);
  const auto t0 = Clock::now();
  c.transact(2, command(1, 2), 100, 3000);
  r = c.result();
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->outcome == VARNO_READ_FAILED || r->outcome == VARNO_WRITE_FAILED) << r->outcome;
  EXPECT_LT(Clock::now() - t0, 2500ms);  // found out, not waited out
  ASSERT_TRUE(gateway.waitForLog("bus bench: ", " failed"));
  c.transact(3, command(1, 3), 100, 3000);
  r = c.result();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->outcome, VARNO_READ_FAILED);
  EXPECT_EQ(r->bus_time_us, 0u);
  EXPECT_EQ(metric(fetchMetrics(http), "varno_gateway_bus_open{bus=\"bench\"}"), 0);

  sim = start_sim();
  bool back = false;
  for (std::uint32_t id = 4; !back && id < 4000; ++id) {
    c.transact(id, command(1, id), 100, 3000);
    r = c.result();
    ASSERT_TRUE(r);
    back = r->outcome == VARNO_REPLY;
    if (!back) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(back) << gateway.log();
  EXPECT_EQ(metric(fetchMetrics(http), "varno_gateway_bus_reconnects_total{bus=\"bench\"}"), 1);
  EXPECT_EQ(gateway.stop(), 0);
  EXPECT_EQ(gateway.log().find("Sanitizer"), std::string::npos) << gateway.log();
  kill(sim.first, SIGTERM);
  waitpid(sim.first, nullptr, 0);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace varno::gwtest
