// The network port's pure parts: names, the telnet decoder, the client's negotiation.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "network/network_name.h"
#include "network/telnet.h"
#include "network/telnet_client.h"
#include "remote/gateway_carrier.h"

namespace varno {
namespace {

TEST(NetworkPortName, TakesHostsPortsAndOptions) {
  NetworkPortName n;
  ASSERT_TRUE(parseNetworkPortName("tcp://box-7.local:2001", n));
  EXPECT_EQ(n.protocol, NetworkProtocol::kRaw);
  EXPECT_EQ(n.host, "box-7.local");
  EXPECT_EQ(n.port, 2001);
  EXPECT_EQ(n.inter_byte_timeout_ms, 50u);

  ASSERT_TRUE(parseNetworkPortName(
      "RFC2217://[fe80::1]:65535?inter_byte_timeout=20&negotiation_timeout=900&connect_timeout=1",
      n));
  EXPECT_EQ(n.protocol, NetworkProtocol::kRfc2217);
  EXPECT_EQ(n.host, "fe80::1");
  EXPECT_EQ(n.port, 65535);
  EXPECT_EQ(n.inter_byte_timeout_ms, 20u);
  EXPECT_EQ(n.negotiation_timeout_ms, 900u);
  EXPECT_EQ(n.connect_timeout_ms, 1u);

  EXPECT_TRUE(isNetworkPortName("Tcp://x:1"));
  EXPECT_FALSE(isNetworkPortName("COM3"));
  EXPECT_FALSE(isNetworkPortName("/dev/ttyUSB0"));
  EXPECT_FALSE(parseNetworkPortName("udp://x:1", n));
  EXPECT_FALSE(parseNetworkPortName("tcp://x:1?inter_byte_timeout=60001", n));
  EXPECT_FALSE(parseNetworkPortName("tcp://x:1?connect_timeout=600001", n));
  EXPECT_FALSE(parseNetworkPortName("tcp://x:1 ", n));
  EXPECT_FALSE(parseNetworkPortName(std::string("tcp://x:1\0", 10), n));
  // The longest name taken, and one more.
  const std::string host(kMaxHostName, 'h');
  EXPECT_TRUE(parseNetworkPortName("tcp://" + host + ":1", n));
  EXPECT_FALSE(parseNetworkPortName("tcp://" + host + "h:1", n));
}

TEST(NetworkPortName, TakesAGatewaysBus) {
  NetworkPortName n;
  ASSERT_TRUE(parseNetworkPortName("VARNO://[::1]:7000/line-2/a:b?connect_timeout=250", n));
  EXPECT_EQ(n.protocol, NetworkProtocol::kGateway);
  EXPECT_EQ(n.host, "::1");
  EXPECT_EQ(n.port, 7000);
  EXPECT_EQ(n.bus, "line-2/a:b");
  EXPECT_EQ(n.connect_timeout_ms, 250u);
  EXPECT_TRUE(isGatewayPortName("varno://x:1/b"));
  EXPECT_FALSE(isNetworkPortName("varno://x:1/b"));  // no port of bytes
  EXPECT_TRUE(parseNetworkPortName("varno://x:1/" + std::string(64, '~'), n));
  EXPECT_FALSE(parseNetworkPortName("varno://x:1/" + std::string(65, 'b'), n));
  EXPECT_FALSE(parseNetworkPortName("varno://x:1/b?negotiation_timeout=5", n));
  EXPECT_FALSE(parseNetworkPortName(std::string("varno://x:1/b\0c", 15), n));

  // The program's name is cut to fit the HELLO, not its process id; what a gateway would refuse
  // is replaced.
  std::string description(101, 'p');
  description.front() = '\t';
  const std::string client = gatewayClientName(description.append(" 4711"));
  EXPECT_EQ(client.size(), 64u);
  EXPECT_EQ(client.front(), '?');
  EXPECT_EQ(client.substr(58), "p 4711");
}

// What a decoder hands out: data, and the commands in order.
struct Recorder final : telnet::Handler {
  std::vector<std::uint8_t> data;
  std::vector<std::string> events;
  void negotiation(std::uint8_t verb, std::uint8_t option) override {
    events.push_back("neg " + std::to_string(verb) + " " + std::to_string(option));
  }
  void subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) override {
    std::string e = "sub";
    for (std::size_t i = 0; i < size; ++i) {
      e += ' ';
      e += std::to_string(payload[i]);
    }
    if (cut) e += " cut";
    events.push_back(e);
  }
  void feed(telnet::Decoder& d, const std::vector<std::uint8_t>& in, std::size_t from,
            std::size_t to) {
    std::vector<std::uint8_t> out(to - from + 1);
    const std::size_t n = d.decode(in.data() + from, to - from, out.data(), *this);
    data.insert(data.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
  }
};

TEST(TelnetDecoder, StripsCommandsAndUndoublesDataWhereverTheStreamIsCut) {
  using namespace telnet;
  // Data with an escaped 0xFF, a negotiation, NOTIFY-MODEMSTATE, NOP, a baud answer holding a
  // doubled 0xFF, a stray command inside a sub-negotiation, and more data.
  const std::vector<std::uint8_t> stream = {
      0x81, kIac, kIac, 0x02, kIac, kWill, 3,   kIac, kSb,  kComPort, 107,  0x30, kIac, kSe,
      0x10, kIac, 241,  0x11, kIac, kSb,   44,  101,  0,    1,        kIac, kIac, 0,    kIac,
      kSe,  kIac, kSb,  44,   106,  kIac,  241, 0x55, kIac, kSe,      0x7F, kIac, kIac};
  const std::vector<std::uint8_t> data = {0x81, 0xFF, 0x02, 0x10, 0x11, 0x7F, 0xFF};
  const std::vector<std::string> events = {"neg 251 3", "sub 44 107 48", "sub 44 101 0 1 255 0",
                                           "sub 44 106 85"};
  // Whole, cut in two at every position, and one byte at a time.
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Decoder d;
    Recorder r;
    r.feed(d, stream, 0, cut);
    r.feed(d, stream, cut, stream.size());
    EXPECT_EQ(r.data, data) << "cut at " << cut;
    EXPECT_EQ(r.events, events) << "cut at " << cut;
  }
  Decoder d;
  Recorder r;
  for (std::size_t i = 0; i < stream.size(); ++i) r.feed(d, stream, i, i + 1);
  EXPECT_EQ(r.data, data);
  EXPECT_EQ(r.events, events);

  // A sub-negotiation longer than is kept comes out cut, and the data after it is intact.
  std::vector<std::uint8_t> long_sub = {kIac, kSb, 44, 100};
  long_sub.insert(long_sub.end(), 100, 'x');
  long_sub.insert(long_sub.end(), {kIac, kSe, 0x42});
  Recorder lr;
  Decoder ld;
  lr.feed(ld, long_sub, 0, long_sub.size());
  EXPECT_EQ(lr.data, (std::vector<std::uint8_t>{0x42}));
  ASSERT_EQ(lr.events.size(), 1u);
  EXPECT_NE(lr.events[0].find(" cut"), std::string::npos);

  // The longest sub-negotiation taken, and one that runs on past it (with a stray command inside
  // counted): the decoder stops for good.
  for (const std::size_t run : {kMaxSubnegotiationRun, kMaxSubnegotiationRun + 1}) {
    std::vector<std::uint8_t> endless = {kIac, kSb, 44, kIac, 241};
    endless.insert(endless.end(), run - 5, 'x');
    endless.insert(endless.end(), {kIac, kSe, 0x42});
    Recorder er;
    Decoder ed;
    er.feed(ed, endless, 0, endless.size());
    EXPECT_EQ(ed.failed(), run > kMaxSubnegotiationRun) << run;
    EXPECT_EQ(er.data.size(), run > kMaxSubnegotiationRun ? 0u : 1u) << run;
    er.feed(ed, long_sub, 0, long_sub.size());
    EXPECT_EQ(er.data.size(), run > kMaxSubnegotiationRun ? 0u : 2u) << run;
  }

  std::uint8_t out[16];
  EXPECT_EQ(encodeData(0xFF, out), 2u);
  EXPECT_EQ(out[1], 0xFF);
  const std::uint8_t rate[4] = {0, 0, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + encodeComPort(kSetBaudRate, rate, 4, out)),
            (std::vector<std::uint8_t>{kIac, kSb, 44, 1, 0, 0, kIac, kIac, kIac, kIac, kIac, kSe}));
}

std::vector<std::uint8_t> replies(TelnetClient& c) {
  std::vector<std::uint8_t> r(c.replies(), c.replies() + c.replySize());
  c.clearReplies();
  return r;
}

TEST(TelnetClient, AgreesWithSer2netAndRefusesWhatItDoesNotDo) {
  using namespace telnet;
  TelnetClient c;
  std::uint8_t offers[16];
  ASSERT_EQ(c.offers(offers), 9u);
  // What ser2net 4.3 opens with: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY,
  // DO COM-PORT-OPTION, then NOTIFY-MODEMSTATE.
  const std::vector<std::uint8_t> opening = {
      kIac, kWill, 3,     kIac, kDo,  3,   kIac, kWill, 1,   kIac, kDont, 1, kIac, kDo,
      0,    kIac,  kWill, 0,    kIac, kDo, 44,   kIac,  kSb, 44,   107,   0, kIac, kSe};
  Decoder d;
  std::uint8_t data[64];
  EXPECT_EQ(d.decode(opening.data(), opening.size(), data, c), 0u);
  EXPECT_TRUE(c.agreed());
  EXPECT_FALSE(c.refused());
  // SGA and ECHO refused; BINARY and COM-PORT-OPTION were offered, so their acceptance is not
  // answered again.
  EXPECT_EQ(replies(c),
            (std::vector<std::uint8_t>{kIac, kDont, 3, kIac, kWont, 3, kIac, kDont, 1}));
  // Asked again, not answered again: two ends can never loop.
  c.negotiation(kDo, 3);
  c.negotiation(kWill, 1);
  EXPECT_TRUE(replies(c).empty());

  // Answers, one of them a SET-CONTROL about DTR.
  const std::uint8_t baud[] = {kIac, kSb, 44, 101,  0,   1,    0xC2, 0,  kIac, kSe, kIac, kSb,
                               44,   105, 9,  kIac, kSe, kIac, kSb,  44, 105,  1,   kIac, kSe};
  d.decode(baud, sizeof baud, data, c);
  EXPECT_EQ(c.answers.baud_rate, 115200);
  EXPECT_EQ(c.answers.dtr, 9);
  EXPECT_EQ(c.answers.flow_control, 1);

  // The server takes COM-PORT-OPTION back.
  c.negotiation(kDont, 44);
  EXPECT_TRUE(c.refused());
  EXPECT_FALSE(c.comPortEnabled());
  EXPECT_EQ(replies(c), (std::vector<std::uint8_t>{kIac, kWont, 44}));

  // A server that only answers: the answers complete the agreement without replies.
  TelnetClient quiet;
  quiet.offers(offers);
  for (const auto& [verb, option] :
       std::vector<std::pair<std::uint8_t, std::uint8_t>>{{kDo, 0}, {kWill, 0}, {kDo, 44}}) {
    quiet.negotiation(verb, option);
  }
  EXPECT_TRUE(quiet.agreed());
  EXPECT_TRUE(replies(quiet).empty());
  // One that declines BINARY.
  TelnetClient declined;
  declined.offers(offers);
  declined.negotiation(kWont, 0);
  EXPECT_TRUE(declined.refused());
}

TEST(TelnetClient, TheLineIsSetWhenEveryAnswerConfirmsWhatWasAsked) {
  using namespace telnet;
  TelnetClient c;
  std::uint8_t out[TelnetClient::kLineCommandsSize];
  std::size_t sizes[TelnetClient::kLineCommands];
  // DTR off first, then no flow control, the rate (its 0xFF doubled), 8, no parity, one stop bit.
  const std::size_t n = c.setLine(0xFF00, out, sizes);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + n),
            (std::vector<std::uint8_t>{
                kIac, kSb, 44, 5, 9,    kIac, kSe, kIac, kSb, 44,   5,   1,  kIac, kSe, kIac, kSb,
                44,   1,   0,  0, kIac, kIac, 0,   kIac, kSe, kIac, kSb, 44, 2,    8,   kIac, kSe,
                kIac, kSb, 44, 3, 1,    kIac, kSe, kIac, kSb, 44,   4,   1,  kIac, kSe}));
  EXPECT_EQ(sizes[2], 11u);
  // No DTR answer needed; each of the others is.
  c.answers = {0xFF00, 8, 1, 1, -1, -1};
  EXPECT_FALSE(c.lineAnswered());
  c.answers.flow_control = 1;
  EXPECT_TRUE(c.lineAnswered());
  EXPECT_FALSE(c.lineRefused());
  // A server that sets another rate, or DTR on, has not set the line as asked.
  c.answers.baud_rate = 0xFF01;
  EXPECT_TRUE(c.lineRefused());
  c.setLine(0xFF00, out, sizes);  // forgets the answers of before
  EXPECT_FALSE(c.lineRefused());
  c.answers.dtr = kControlDtrOn;
  EXPECT_TRUE(c.lineRefused());
}

}  // namespace
}  // namespace varno
