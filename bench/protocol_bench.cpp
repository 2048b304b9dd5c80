// Frame codec and data-word conversions: cost per frame and per conversion.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "VarnoDLL.h"
#include "protocol/frame.h"

namespace {

std::vector<varno::CommandRecord> randomRecords(std::size_t n) {
  std::mt19937 rng(1);
  std::vector<varno::CommandRecord> records(n);
  for (auto& r : records) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(&r);
    for (std::size_t i = 0; i < sizeof r; ++i) bytes[i] = static_cast<std::uint8_t>(rng());
  }
  return records;
}

// One command out and one reply in: encode a record, decode the frame.
void BM_EncodeDecode(benchmark::State& state) {
  const auto records = randomRecords(1024);
  varno::Frame frame;
  varno::CommandRecord out;
  std::size_t i = 0;
  for (auto _ : state) {
    varno::encodeFrame(records[i++ & 1023], frame.data());
    benchmark::DoNotOptimize(varno::decodeFrame(frame.data(), out));
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("frames");
}
BENCHMARK(BM_EncodeDecode);

void BM_Crc7(benchmark::State& state) {
  const auto records = randomRecords(1024);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        varno::crc7(reinterpret_cast<const std::uint8_t*>(&records[i++ & 1023]), 11));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Crc7);

void BM_FloatToData(benchmark::State& state) {
  std::uint8_t word[4];
  float v = -1234.567f;
  for (auto _ : state) {
    varnoFloatToData(v, 3, word);
    benchmark::DoNotOptimize(word);
    v += 0.001f;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloatToData);

void BM_DataToFloat(benchmark::State& state) {
  std::uint8_t word[4] = {0x3A, 0x30, 0x00, 0x02};
  for (auto _ : state) {
    benchmark::DoNotOptimize(varnoDataToFloat(word));
    ++word[0];
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DataToFloat);

void BM_UIntRoundTrip(benchmark::State& state) {
  std::uint8_t word[4];
  std::uint32_t v = 0;
  for (auto _ : state) {
    varnoUIntToData(v++, word);
    benchmark::DoNotOptimize(varnoDataToUInt(word));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UIntRoundTrip);

}  // namespace
