#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace varno {
namespace {

// The CRC exactly as the line defines it, one bit at a time, to hold the table-driven one to.
std::uint8_t referenceCrc7(const std::uint8_t* bytes, std::size_t length) {
  std::uint8_t r = 0;
  for (std::size_t i = 0; i < length; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      r = static_cast<std::uint8_t>(((r << 1) | ((bytes[i] >> bit) & 1)) & 0xFF);
      if (r & 0x80) r ^= 0x09;
    }
  }
  return r & 0x7F;
}

CommandRecord record(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                     std::uint8_t param = 0, std::uint8_t status = 0, std::uint8_t error = 0,
                     std::uint8_t d0 = 0, std::uint8_t d1 = 0, std::uint8_t d2 = 0,
                     std::uint8_t d3 = 0) {
  CommandRecord r;
  r.dest = dest;
  r.source = source;
  r.code = code;
  r.param = param;
  r.status = status;
  r.error = error;
  r.data_arr[0] = d0;
  r.data_arr[1] = d1;
  r.data_arr[2] = d2;
  r.data_arr[3] = d3;
  return r;
}

Frame encode(const CommandRecord& r) {
  Frame f;
  f.fill(0xEE);  // every byte must be written
  EXPECT_TRUE(encodeFrame(r, f.data()));
  return f;
}

void expectRecord(const CommandRecord& r, const CommandRecord& want) {
  EXPECT_EQ(r.dest, want.dest);
  EXPECT_EQ(r.source, want.source);
  EXPECT_EQ(r.code, want.code);
  EXPECT_EQ(r.param, want.param);
  EXPECT_EQ(r.status, want.status);
  EXPECT_EQ(r.error, want.error);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.data_arr[i], want.data_arr[i]) << "data byte " << i;
}

TEST(Frame, WorkedFramesEncodeToTheirBytes) {
  struct Case {
    CommandRecord in;
    Frame out;
  };
  const Case cases[] = {
      {record(1, 31, 0), {0x81, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x06}},
      {record(1, 31, 3), {0x81, 0x1F, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0x61}},
      {record(1, 31, 3, 0x85, 0, 0, 0xFF, 0x80, 0x01, 0x02),
       {0x81, 0x1F, 0x03, 0x05, 0, 0, 0x7F, 0x00, 0x01, 0x02, 0x19, 0x72}},
      {record(0x05, 0x9F, 0x83, 0x7F, 0xC8, 0x90, 0x01, 0x02, 0xAB, 0xCD),
       {0x85, 0x1F, 0x03, 0x7F, 0x48, 0x10, 0x01, 0x02, 0x2B, 0x4D, 0x66, 0x2E}},
      {record(0x7F, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF),
       {0xFF, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3B}},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.in), c.out);
}

TEST(Frame, WorkedFramesDecodeToTheirRecords) {
  const Frame reply = {0x9F, 0x01, 0x03, 0x05, 0x11, 0x22, 0x7F, 0x00, 0x01, 0x02, 0x19, 0x00};
  CommandRecord r;
  ASSERT_TRUE(decodeFrame(reply.data(), r));
  expectRecord(r, record(0x9F, 1, 3, 0x85, 0x11, 0x22, 0xFF, 0x80, 0x01, 0x02));

  const Frame other = {0x85, 0x1F, 0x03, 0x7F, 0x48, 0x10, 0x01, 0x02, 0x2B, 0x4D, 0x66, 0x2E};
  ASSERT_TRUE(decodeFrame(other.data(), r));
  expectRecord(r, record(0x85, 0x1F, 0x03, 0x7F, 0xC8, 0x90, 0x01, 0x02, 0xAB, 0xCD));
}

TEST(Frame, SevenBitFieldsAreMaskedAndEightBitFieldsSurvive) {
  const CommandRecord in = record(0x83, 0x9F, 0xFE, 0x80, 0xFF, 0x81, 0x80, 0xFF, 0x7F, 0xAA);
  CommandRecord out;
  ASSERT_TRUE(decodeFrame(encode(in).data(), out));
  // dest comes back with the start mark; source and code lose bit 7.
  expectRecord(out, record(0x83, 0x1F, 0x7E, 0x80, 0xFF, 0x81, 0x80, 0xFF, 0x7F, 0xAA));
}

TEST(Frame, RejectsWhatIsNotAFrameAndLeavesTheRecordAlone) {
  const CommandRecord sentinel = record(0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 1, 2, 3, 4);
  const Frame valid = {0x81, 0x1F, 0x03, 0x05, 0, 0, 0x7F, 0x00, 0x01, 0x02, 0x19, 0x72};

  auto rejects = [&](const Frame& f, const char* why) {
    CommandRecord r = sentinel;
    EXPECT_FALSE(decodeFrame(f.data(), r)) << why;
    expectRecord(r, sentinel);
  };

  rejects(Frame{}, "twelve zero bytes: no start mark");
  EXPECT_EQ(checkFrame(Frame{}.data()), FrameFault::kNoStartMark);
  // The low 7 bits of byte 11 are the CRC, but bit 7 is set.
  Frame high_crc = valid;
  high_crc[11] = 0xF2;
  rejects(high_crc, "byte 11 with bit 7 set");
  EXPECT_EQ(checkFrame(high_crc.data()), FrameFault::kBadCrc);
  for (int v = 0; v < 256; ++v) {
    if (v == valid[11]) continue;
    Frame f = valid;
    f[11] = static_cast<std::uint8_t>(v);
    CommandRecord r = sentinel;
    ASSERT_FALSE(decodeFrame(f.data(), r)) << "CRC byte " << v;
  }
  // Bit 7 in any of bytes 1..10, with the CRC recomputed so that only that rule can reject it.
  for (int i = 1; i <= 10; ++i) {
    Frame f = valid;
    f[i] |= 0x80;
    f[11] = referenceCrc7(f.data(), 11);
    rejects(f, "bit 7 in a body byte");
    EXPECT_EQ(checkFrame(f.data()), FrameFault::kHighBitInBody);
  }
  // No resynchronisation: a valid frame shifted by one byte is not found.
  Frame shifted{};
  std::memcpy(shifted.data() + 1, valid.data(), 11);
  rejects(shifted, "frame out of step");
}

TEST(Frame, AnyValidFrameDecodesWhateverItsAddresses) {
  // The decoder does not compare with anything: a reply from some other station is accepted.
  const Frame f = encode(record(0x42, 0x17, 0x55, 9, 8, 7));
  CommandRecord r;
  ASSERT_TRUE(decodeFrame(f.data(), r));
  EXPECT_EQ(r.dest, 0xC2);
  EXPECT_EQ(r.source, 0x17);
}

TEST(Frame, TableCrcMatchesTheBitSerialDefinition) {
  std::mt19937 rng(7);
  std::uint8_t buf[64];
  for (int n = 0; n < 20000; ++n) {
    const std::size_t len = rng() % sizeof buf;
    for (std::size_t i = 0; i < len; ++i) buf[i] = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(crc7(buf, len), referenceCrc7(buf, len));
  }
}

TEST(Frame, RandomRecordsRoundTrip) {
  std::mt19937 rng(12345);
  for (int n = 0; n < 100000; ++n) {
    std::uint8_t b[10];
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    const CommandRecord in = record(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9]);
    const Frame f = encode(in);
    ASSERT_EQ(f[0] & 0x80, 0x80);
    for (int i = 1; i < 12; ++i) ASSERT_EQ(f[i] & 0x80, 0) << "byte " << i;

    CommandRecord out;
    ASSERT_TRUE(decodeFrame(f.data(), out));
    CommandRecord want = in;
    want.dest |= 0x80;
    want.source &= 0x7F;
    want.code &= 0x7F;
    ASSERT_EQ(std::memcmp(&out, &want, sizeof out), 0);

    // A single flipped bit anywhere in a frame is always caught.
    Frame bad = f;
    const unsigned bit = rng() % 96;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    CommandRecord ignored;
    ASSERT_FALSE(decodeFrame(bad.data(), ignored)) << "bit " << bit;
  }
}

}  // namespace
}  // namespace varno
