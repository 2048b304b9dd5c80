// varno-gateway on MQTT, as another program meets it: Debian's mosquitto broker started here on
// 127.0.0.1, the gateway as a child process owning a simulated bus, and paho-mqtt clients
// (mqtt_clients.py) that know nothing of the gateway's code.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "gateway_harness.h"
#include "simulator.h"

namespace varno::gwtest {
namespace {

using nlohmann::json;

int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t size = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
  ::close(fd);
  return ntohs(a.sin_port);
}

// mosquitto on 127.0.0.1, without persistence: a restart loses every retained message.
class Broker {
 public:
  Broker(const std::string& dir, int port) : dir_(dir), port_(port) {
    std::ofstream(dir + "/mosquitto.conf")
        << "listener " << port
        << " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n";
    start();
  }
  ~Broker() { kill(); }
  void start() {
    pid_ = spawn({VARNO_MOSQUITTO, "-c", dir_ + "/mosquitto.conf"}, false, false).pid;
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up;) {
      const int fd = connectTo(port_);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
  }
  void kill() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string dir_;
  int port_;
  pid_t pid_ = -1;
};

// One run of the Python clients: its JSON line.
json clients(const std::string& args) {
  const std::string line = std::string("/usr/bin/python3 ") + VARNO_MQTT_PY_CLIENT + " " + args;
  FILE* out = popen(line.c_str(), "r");
  std::string text;
  char buffer[4096];
  while (out != nullptr && std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
  if (out != nullptr) pclose(out);
  const json parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json{{"output", text}} : parsed;
}

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/varno-mqtt-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    broker_port_ = freePort();
    broker_ = std::make_unique<Broker>(dir_, broker_port_);
    sim_.setDevice(1);     // echoes the data word
    setTemperature(0xD7);  // 21.5
  }
  void TearDown() override {
    if (gateway_ != nullptr && gateway_->pid() > 0) {
      EXPECT_EQ(gateway_->stop(), 0);
    }
    gateway_.reset();
    broker_.reset();
    std::system(("rm -rf " + dir_).c_str());
  }

  void setTemperature(std::uint8_t tenths) {
    sim::DeviceBehaviour decimal;
    decimal.data = std::array<std::uint8_t, 4>{tenths, 0x00, 0x00, 0x01};
    sim_.setDevice(7, decimal);
  }

  void start() {
    const std::string text =
        "[gateway]\nlisten = \"127.0.0.1:0\"\n[[bus]]\nname = \"bench\"\nport = \"" + sim_.path() +
        "\"\nbaud = 38400\nqueue_timeout_ms = 20000\n"
        "[[point]]\nname = \"room/temp\"\nbus = \"bench\"\ndest = 7\ncode = 3\ndecimals = 1\n"
        "unit = \"°C\"\nevery_ms = 50\n"
        "[mqtt]\nurl = \"mqtt://127.0.0.1:" +
        std::to_string(broker_port_) + "\"\nclient_id = \"gw-test\"\nkeepalive_s = 5\n";
    gateway_ = std::make_unique<Gateway>(dir_, text);
    gateway_port_ = gateway_->port("gateway");
    ASSERT_GT(gateway_port_, 0) << gateway_->log();
    ASSERT_TRUE(gateway_->waitForLog("mqtt: connected")) << gateway_->log();
  }

  json waitFor(const std::string& topic, const std::string& text) {
    return clients("waitfor " + std::to_string(broker_port_) + " '" + topic + "' '" + text +
                   "' 20");
  }

  std::string dir_;
  int broker_port_ = 0;
  int gateway_port_ = 0;
  std::unique_ptr<Broker> broker_;
  sim::Simulator sim_;
  std::unique_ptr<Gateway> gateway_;
};

// A point's value is there for a client that comes later (retained), follows the device, and
// the gateway's state is 2 while it runs, 0 (its will) once it is killed.
TEST_F(MqttTest, ValuesRetainedFollowTheDeviceAndTheWillTellsTheEnd) {
  start();
  EXPECT_EQ(waitFor("varno/connected", "2")["payload"], "2");
  ASSERT_EQ(waitFor("varno/status/room/temp", "21.5")["topic"], "varno/status/room/temp");
  const json retained = waitFor("varno/status/room/temp", "21.5");
  EXPECT_TRUE(retained["retain"]) << retained;
  const json first = json::parse(retained["payload"].get<std::string>());
  EXPECT_EQ(first["val"], 21.5);
  EXPECT_EQ(first["unit"], "°C");
  EXPECT_EQ(first["outcome"], 0);
  EXPECT_GT(first["ts"].get<std::int64_t>(), 1700000000000);

  setTemperature(0xDC);  // 22.0
  EXPECT_EQ(
      json::parse(waitFor("varno/status/room/temp", "22")["payload"].get<std::string>())["val"],
      22.0);
  sim_.removeDevice(7);
  const json gone = waitFor("varno/status/room/temp", "\"outcome\":3");
  EXPECT_TRUE(json::parse(gone["payload"].get<std::string>())["val"].is_null()) << gone;

  gateway_->signal(SIGKILL);
  EXPECT_EQ(gateway_->wait(std::chrono::duration_cast<std::chrono::milliseconds>(kGiveUp)),
            128 + SIGKILL);
  EXPECT_EQ(waitFor("varno/connected", "0")["payload"], "0");
}

// Two clients, one speaking MQTT 5 (response topic and correlation data), one 3.1.1 (reply_to
// and id), 500 requests each at QoS 1: each answered once, with its own reply, and each carried
// out once on the bus.
TEST_F(MqttTest, ThousandRequestsFromTwoClientsEachAnsweredOnceAndCarriedOutOnce) {
  start();
  sim_.clearLog();
  json results[2];
  std::thread other([&] {
    results[1] =
        clients("requests " + std::to_string(broker_port_) + " varno/transact/bench 500 v311 old");
  });
  results[0] =
      clients("requests " + std::to_string(broker_port_) + " varno/transact/bench 500 v5 new");
  other.join();
  for (const json& r : results) {
    EXPECT_EQ(r["answered"], 500) << r;
    EXPECT_EQ(r["twice"], 0) << r;
    EXPECT_EQ(r["wrong"], 0) << r;
  }
  std::size_t to_one = 0;
  for (const auto& frame : sim_.receivedFrames()) to_one += (frame[0] & 0x7F) == 1 ? 1 : 0;
  EXPECT_EQ(to_one, 1000u);
}

// What cannot be carried out is answered with what is wrong, and never reaches the bus; a request
// delivered twice is carried out once; a clean stop publishes 0.
TEST_F(MqttTest, FaultsAnsweredNamedAndRedeliveryCarriedOutOnce) {
  start();
  sim_.clearLog();
  const std::string port = std::to_string(broker_port_);
  json a = clients("ask " + port + " varno/transact/nope '{\"dest\": 1, \"code\": 3}' 20");
  EXPECT_EQ(a["error"], "no bus \"nope\"") << a;
  EXPECT_EQ(a["correlation"], "one");
  a = clients("ask " + port + " varno/transact/bench '{\"dest\": 1, \"code\": ' 20");
  EXPECT_EQ(a["error"], "the request is not valid JSON") << a;
  a = clients("ask " + port +
              " varno/transact/bench '{\"dest\": 1, \"code\": 3, \"uint\": -1}' 20");
  EXPECT_EQ(a["error"], "\"uint\" must be 0..4294967295, not -1") << a;
  a = clients("ask " + port + " varno/transact/bench '{\"dest\": 1, \"code\": 3, \"uint\": 9}' 20");
  EXPECT_EQ(a["outcome"], 0) << a;
  EXPECT_EQ(a["reply"]["data"]["uint"], 9) << a;
  // The same request again, as a broker delivers it twice: not carried out a second time.
  a = clients("ask " + port + " varno/transact/bench '{\"dest\": 1, \"code\": 3, \"uint\": 9}' 2");
  EXPECT_TRUE(a["timeout"]) << a;
  std::size_t to_one = 0;
  for (const auto& frame : sim_.receivedFrames()) to_one += (frame[0] & 0x7F) == 1 ? 1 : 0;
  EXPECT_EQ(to_one, 1u);

  // A clean stop says so itself, before the will would.
  EXPECT_EQ(gateway_->stop(), 0);
  EXPECT_EQ(waitFor("varno/connected", "0")["payload"], "0");
}

// The broker killed and started again (without its retained messages): the gateway's clients
// of the gateway protocol never stop, and once the broker is back the values are there again.
TEST_F(MqttTest, BrokerRestartedUnderLoadBusesNeverStopAndValuesComeBack) {
  start();
  ASSERT_EQ(waitFor("varno/status/room/temp", "21.5")["topic"], "varno/status/room/temp");
  std::atomic<bool> done{false};
  std::atomic<int> answered{0}, failed{0};
  std::thread load([&] {
    Client c(gateway_port_);
    if (!c.hello("bench")) return ++failed, void();
    for (std::uint32_t id = 0; !done; ++id) {
      c.transact(id, command(1, id), 2000, 2000);
      const auto r = c.result();
      if (r && r->outcome == 0 && wordOf(r->frame) == id) {
        ++answered;
      } else {
        ++failed;
      }
    }
  });
  broker_->kill();
  ASSERT_TRUE(gateway_->waitForLog("mqtt: lost the broker")) << gateway_->log();
  const int before = answered;
  broker_->start();
  // The value again, retained by the new broker from the gateway's publishing after it came back.
  EXPECT_EQ(waitFor("varno/status/room/temp", "21.5")["topic"], "varno/status/room/temp");
  EXPECT_EQ(waitFor("varno/connected", "2")["payload"], "2");
  done = true;
  load.join();
  EXPECT_GT(answered.load(), before);
  EXPECT_EQ(failed.load(), 0);
}

}  // namespace
}  // namespace varno::gwtest
