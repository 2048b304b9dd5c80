#include "frame.h"

#include <cstring>

namespace varno {
namespace {

// Bit-serial reference form of the CRC: an 8-bit register, each input bit shifted in at the
// bottom, 0x09 folded in whenever bit 7 comes up. Bit 7 itself is shifted out at the next step,
// so only the low 7 bits of the register carry over from one byte to the next.
constexpr std::uint8_t crcStep(std::uint8_t r, std::uint8_t byte) {
  for (int bit = 0; bit < 8; ++bit) {
    r = static_cast<std::uint8_t>((r << 1) | ((byte >> bit) & 1));
    if (r & 0x80) r ^= 0x09;
  }
  return r;
}

// The CRC is linear over GF(2), so one byte's step splits into the part that comes from the
// register and the part that comes from the byte: step(r, b) = step(r, 0) ^ step(0, b).
struct CrcTables {
  std::uint8_t from_register[128];
  std::uint8_t from_byte[256];
};

constexpr CrcTables makeTables() {
  CrcTables t{};
  for (int r = 0; r < 128; ++r) {
    t.from_register[r] = crcStep(static_cast<std::uint8_t>(r), 0) & 0x7F;
  }
  for (int b = 0; b < 256; ++b) t.from_byte[b] = crcStep(0, static_cast<std::uint8_t>(b)) & 0x7F;
  return t;
}

constexpr CrcTables kCrcTables = makeTables();

// Which field each bit of the collector byte (offset 10) stands for: param, status, error, data.
constexpr std::size_t kHighBitsOffset = 10;
constexpr std::size_t kCrcOffset = 11;
constexpr std::size_t kFirstHighBitField = 3;  // param is at offset 3; the seven run to offset 9

}  // namespace

std::uint8_t crc7(const std::uint8_t* bytes, std::size_t length) {
  std::uint8_t r = 0;
  for (std::size_t i = 0; i < length; ++i) {
    r = kCrcTables.from_register[r] ^ kCrcTables.from_byte[bytes[i]];
  }
  return r;
}

bool encodeFrame(const CommandRecord& record, std::uint8_t* out) {
  const std::uint8_t fields[10] = {
      record.dest,  record.source,      record.code,        record.param,       record.status,
      record.error, record.data_arr[0], record.data_arr[1], record.data_arr[2], record.data_arr[3]};
  out[0] = static_cast<std::uint8_t>(fields[0] | kStartMark);
  std::uint8_t high_bits = 0;
  for (std::size_t i = 1; i < 10; ++i) {
    out[i] = fields[i] & 0x7F;
    if (i >= kFirstHighBitField && (fields[i] & 0x80)) {
      high_bits |= static_cast<std::uint8_t>(1u << (i - kFirstHighBitField));
    }
  }
  out[kHighBitsOffset] = high_bits;
  out[kCrcOffset] = crc7(out, kCrcOffset);
  return true;
}

FrameFault checkFrame(const std::uint8_t* in) {
  if (!(in[0] & kStartMark)) return FrameFault::kNoStartMark;
  for (std::size_t i = 1; i <= kHighBitsOffset; ++i) {
    if (in[i] & 0x80) return FrameFault::kHighBitInBody;
  }
  // Byte 11 needs no test of its own: the CRC never has bit 7 set.
  if (crc7(in, kCrcOffset) != in[kCrcOffset]) return FrameFault::kBadCrc;
  return FrameFault::kNone;
}

bool decodeFrame(const std::uint8_t* in, CommandRecord& record) {
  if (checkFrame(in) != FrameFault::kNone) return false;

  std::uint8_t fields[10];
  for (std::size_t i = 0; i < 10; ++i) fields[i] = in[i];
  const std::uint8_t high_bits = in[kHighBitsOffset];
  for (std::size_t bit = 0; bit < 7; ++bit) {
    if (high_bits & (1u << bit)) fields[kFirstHighBitField + bit] |= 0x80;
  }
  record.dest = fields[0];
  record.source = fields[1];
  record.code = fields[2];
  record.param = fields[3];
  record.status = fields[4];
  record.error = fields[5];
  for (std::size_t i = 0; i < kDataSize; ++i) record.data_arr[i] = fields[6 + i];
  return true;
}

CommandRecord recordFromFrame(const VarnoFrame& frame) {
  CommandRecord r;
  r.dest = frame.dest;
  r.source = frame.source;
  r.code = frame.code;
  r.param = frame.param;
  r.status = frame.status;
  r.error = frame.error;
  std::memcpy(r.data_arr, frame.data, kDataSize);
  return r;
}

void frameFromRecord(const CommandRecord& r, VarnoFrame& frame) {
  frame.dest = r.dest;
  frame.source = r.source;
  frame.code = r.code;
  frame.param = r.param;
  frame.status = r.status;
  frame.error = r.error;
  std::memcpy(frame.data, r.data_arr, kDataSize);
}

}  // namespace varno
