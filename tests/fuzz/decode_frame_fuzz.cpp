// Any 12 bytes: decodeFrame either rejects them leaving the record untouched, or accepts a frame
// that encodes back to exactly the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < varno::kFrameSize) return 0;
  varno::CommandRecord record;
  std::memset(&record, 0xA5, sizeof record);
  const varno::CommandRecord before = record;
  if (!varno::decodeFrame(data, record)) {
    if (std::memcmp(&record, &before, sizeof record) != 0) std::abort();
    return 0;
  }
  if (!(record.dest & 0x80) || (record.source & 0x80) || (record.code & 0x80)) std::abort();
  std::uint8_t again[varno::kFrameSize];
  varno::encodeFrame(record, again);
  if (std::memcmp(again, data, varno::kFrameSize) != 0) std::abort();
  return 0;
}
