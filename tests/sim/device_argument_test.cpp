#include "device_argument.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <stdexcept>

namespace varno::sim {
namespace {

TEST(SimDeviceArgument, EveryOptionLandsInItsField) {
  const DeviceArgument argument = parseDeviceArgument(
      "5:split=4+3+0x2,gap=5,late=0x10,short=7,badcrc,status=0x81,error=3,data=0x01020384,"
      "to=9,hangup=6");
  EXPECT_EQ(argument.address, 5);
  const DeviceBehaviour& b = argument.behaviour;
  EXPECT_EQ(b.pieces, (std::vector<std::size_t>{4, 3, 2}));
  EXPECT_EQ(b.gap_ms, 5u);
  EXPECT_EQ(b.delay_ms, 16u);
  EXPECT_EQ(b.truncate_to, 7u);
  EXPECT_TRUE(b.corrupt_crc);
  EXPECT_EQ(b.status, 0x81);
  EXPECT_EQ(b.error, 3);
  ASSERT_TRUE(b.data.has_value());
  EXPECT_EQ(*b.data,
            (std::array<std::uint8_t, 4>{0x84, 0x03, 0x02, 0x01}));  // least significant first
  EXPECT_EQ(b.reply_dest, std::optional<std::uint8_t>(9));
  EXPECT_EQ(b.hang_up_after, std::optional<std::size_t>(6));

  EXPECT_TRUE(parseDeviceArgument("2:silent").behaviour.silent);
  EXPECT_TRUE(parseDeviceArgument("3:store").behaviour.store);
  EXPECT_EQ(parseDeviceArgument("0x7F").address, 127);
  EXPECT_FALSE(parseDeviceArgument("0x7F").behaviour.silent);
  EXPECT_EQ(parseDeviceArgument("1:raw=81fF00").behaviour.raw_reply,
            (std::vector<std::uint8_t>{0x81, 0xFF, 0x00}));
}

void expectRejected(std::initializer_list<const char*> texts) {
  for (const char* text : texts) {
    EXPECT_THROW(parseDeviceArgument(text), std::invalid_argument) << '"' << text << '"';
  }
}

TEST(SimDeviceArgument, RejectsMalformedDevices) {
  expectRejected({"", "128", "-1", "+1", " 1", "x", "0x"});
  expectRejected({"1:", "1:,silent", "1:silent,", "1:bogus", "1:silent=1", "1:store=1", "1:late",
                  "1:late=", "1:late=1,late=2"});
  expectRejected({"1:gap=5ms", "1:short=13", "1:status=256", "1:error=0x100", "1:to=128",
                  "1:data=0x100000000"});
  expectRejected({"1:split=4++4", "1:split=0", "1:split=4+", "1:raw=8", "1:raw=zz", "1:raw="});
}

}  // namespace
}  // namespace varno::sim
