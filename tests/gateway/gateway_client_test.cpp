// The library's varno:// client through the real varno-gateway to a simulated bus: several links
// and the classic functions at once, each with its own data word, and no reply crossing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "gateway_harness.h"
#include "simulator.h"
#include "varno_link.h"

namespace varno::gwtest {
namespace {

constexpr int kLinks = 4;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kEach = 100;
#else
constexpr int kEach = 300;
#endif

std::atomic<int> classic_wrong{0};
std::atomic<int> classic_right{0};
std::atomic<std::uint32_t> classic_word{0};

void VARNO_CALL classicCallback(std::uint8_t, std::uint8_t source, std::uint8_t, std::uint8_t,
                                std::uint8_t, std::uint8_t, std::uint8_t* data,
                                std::int32_t status) {
  if (status == VARNO_REPLY && source == 1 && varnoDataToUInt(data) == classic_word.load()) {
    classic_right.fetch_add(1);
  } else {
    classic_wrong.fetch_add(1);
  }
}

TEST(GatewayClient, LinksAndTheClassicFunctionsShareABusWithoutACrossedReply) {
  classic_wrong.store(0);
  classic_right.store(0);
  char pattern[] = "/tmp/varno-gateway-client-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  sim::Simulator sim;
  sim.setDevice(1);  // echoes the data word
  auto gateway = std::make_unique<Gateway>(
      dir, "[gateway]\nlisten = \"127.0.0.1:0\"\n[[bus]]\nname = \"bench\"\nport = \"" +
               sim.path() + "\"\nbaud = 38400\nqueue_timeout_ms = 10000\n");
  const int port = gateway->port("gateway");
  ASSERT_GT(port, 0) << gateway->log();
  ASSERT_TRUE(gateway->waitForLog("bus bench: ", " open")) << gateway->log();
  const std::string bus = "varno://127.0.0.1:" + std::to_string(port) + "/bench";

  VarnoLink* missing = nullptr;
  EXPECT_EQ(varnoLinkOpen(("varno://127.0.0.1:" + std::to_string(port) + "/nowhere").c_str(), 38400,
                          &missing),
            VARNO_E_NOT_FOUND);

  std::atomic<int> wrong{0};
  std::atomic<std::int32_t> last_wrong{0};
  std::vector<std::thread> threads;
  for (int l = 0; l < kLinks; ++l) {
    threads.emplace_back([&, l] {
      VarnoLink* link = nullptr;
      if (varnoLinkOpen(bus.c_str(), 38400, &link) != VARNO_OK) {
        wrong.fetch_add(kEach);
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        const std::uint32_t word =
            static_cast<std::uint32_t>(l + 1) << 20 | static_cast<std::uint32_t>(i);
        VarnoFrame command{1, 31, 3, 0, 0, 0, {}};
        varnoUIntToData(word, command.data);
        VarnoFrame reply{};
        const std::int32_t outcome = varnoLinkTransact(link, &command, 1000, 2000, &reply);
        if (outcome != VARNO_REPLY || reply.source != 1 || varnoDataToUInt(reply.data) != word) {
          wrong.fetch_add(1);
          last_wrong.store(outcome);
        }
      }
      varnoLinkClose(link);
    });
  }
  // The classic connection, at the same time, through the same gateway.
  ASSERT_TRUE(varnoOpenSerialPortA(bus.c_str(), 38400));
  for (int i = 0; i < kEach; ++i) {
    classic_word.store(0xF00000u | static_cast<std::uint32_t>(i));
    std::uint8_t data[4];
    varnoUIntToData(classic_word.load(), data);
    ASSERT_EQ(varnoSendCommand(1, 31, 3, 0, data, 1000, 2000, &classicCallback, true), 0);
  }
  varnoCloseSerialPort();
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(wrong.load(), 0) << "the last with outcome " << last_wrong.load();
  EXPECT_EQ(classic_wrong.load(), 0);
  EXPECT_EQ(classic_right.load(), kEach);
  EXPECT_EQ(gateway->stop(), 0);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace varno::gwtest
