#include "protocol/gateway_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace varno::gateway {
namespace {

TEST(GatewayProtocol, EveryMessageReadsBackAsWritten) {
  CommandRecord command{5, 31, 3, 0, 0, 0, {0xD7, 0, 0, 0x81}};
  std::vector<std::uint8_t> stream;
  appendMessage(Hello{1, "bench", "varno send (pid 42)"}, stream);
  appendMessage(Transact{0xA1B2C3D4, 100, 0xFFFFFFFF, command}, stream);
  appendMessage(Welcome{1, -2, 38400, 1000, true}, stream);
  appendMessage(Result{7, -21, 123456, command}, stream);

  // The TRANSACT is laid out byte by byte as documented.
  // After the HELLO: 3 header bytes, version, two lengths, 5 + 19 name bytes.
  const auto start = stream.begin() + 3 + 3 + 5 + 19;
  const std::vector<std::uint8_t> transact(start, start + 25);
  EXPECT_EQ(transact, (std::vector<std::uint8_t>{0x02, 0,   22,   0xA1, 0xB2, 0xC3, 0xD4, 0,  0,
                                                 0,    100, 0xFF, 0xFF, 0xFF, 0xFF, 5,    31, 3,
                                                 0,    0,   0,    0xD7, 0,    0,    0x81}));

  std::size_t offset = 0;
  std::vector<Message> read;
  while (offset < stream.size()) {
    Message message;
    std::size_t used = 0;
    // Every prefix of a message asks for more; the whole of it gives the message.
    for (std::size_t n = 0; n < 3; ++n) {
      ASSERT_EQ(parseMessage(stream.data() + offset, n, message, used), ParseStatus::kNeedMore);
    }
    ASSERT_EQ(parseMessage(stream.data() + offset, stream.size() - offset, message, used),
              ParseStatus::kMessage);
    ASSERT_EQ(parseMessage(stream.data() + offset, used - 1, message, used),
              ParseStatus::kNeedMore);
    ASSERT_EQ(parseMessage(stream.data() + offset, stream.size() - offset, message, used),
              ParseStatus::kMessage);
    read.push_back(message);
    offset += used;
  }
  ASSERT_EQ(read.size(), 4u);
  const auto& hello = std::get<Hello>(read[0]);
  EXPECT_EQ(hello.bus, "bench");
  EXPECT_EQ(hello.client, "varno send (pid 42)");
  const auto& t = std::get<Transact>(read[1]);
  EXPECT_EQ(t.id, 0xA1B2C3D4u);
  EXPECT_EQ(t.reply_timeout_ms, 0xFFFFFFFFu);
  EXPECT_EQ(t.command.data_arr[3], 0x81);
  const auto& w = std::get<Welcome>(read[2]);
  EXPECT_EQ(w.result, -2);
  EXPECT_EQ(w.baud_rate, 38400u);
  EXPECT_TRUE(w.bus_open);
  const auto& r = std::get<Result>(read[3]);
  EXPECT_EQ(r.outcome, -21);
  EXPECT_EQ(r.bus_time_us, 123456u);
}

TEST(GatewayProtocol, RefusesWhatIsNotThisProtocol) {
  Message message;
  std::size_t used = 0;
  auto parse = [&](std::vector<std::uint8_t> bytes) {
    return parseMessage(bytes.data(), bytes.size(), message, used);
  };
  // A stray frame byte, an unknown type, lengths that do not fit their type.
  EXPECT_EQ(parse({0x85}), ParseStatus::kMalformed);  // a frame's first byte
  EXPECT_EQ(parse({0x03, 0, 0}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x02, 0, 21}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x02, 0xFF, 0xFF}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x01, 0, 200}), ParseStatus::kMalformed);
  // Names: empty or unprintable bus names, lengths that disagree with the payload.
  EXPECT_EQ(parse({0x01, 0, 3, 1, 0, 0}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x01, 0, 4, 1, 1, '\n', 0}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x01, 0, 5, 1, 1, 'a', 0, 'x'}), ParseStatus::kMalformed);
  EXPECT_EQ(parse({0x01, 0, 4, 1, 1, 'a', 0}), ParseStatus::kMessage);
  std::vector<std::uint8_t> long_name(3, 0);
  appendMessage(Hello{1, std::string(65, 'b'), ""}, long_name);
  EXPECT_EQ(parseMessage(long_name.data() + 3, long_name.size() - 3, message, used),
            ParseStatus::kMalformed);
}

}  // namespace
}  // namespace varno::gateway
