// The receive path end to end: a simulated device answers every command with whatever bytes
// the fuzzer chooses, in pieces it chooses, over a real pseudo-terminal. Whatever comes, each
// command gets exactly one callback, and a valid reply is reported only when the first twelve
// bytes on the line are one.
//
// Input: byte 0 picks the pieces (bits 0-1: how many, 1 to 4) and the gap between them (bits
// 2-4: 0 to 7 ms, under the 10 ms inter-byte limit); the rest, at most 30 bytes, is the answer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "core/diagnostic.h"
#include "protocol/frame.h"
#include "simulator.h"

namespace {

constexpr std::uint8_t kDevice = 1;
constexpr std::uint8_t kHost = 31;
constexpr std::uint32_t kReplyTimeoutMs = 20;

struct Seen {
  std::atomic<int> calls{0};
  std::int32_t outcome = -1;
  varno::CommandRecord fields;
};
Seen g_seen;

void VARNO_CALL onReply(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                        std::uint8_t param, std::uint8_t status, std::uint8_t error,
                        std::uint8_t* data_arr, std::int32_t error_status) {
  g_seen.outcome = error_status;
  g_seen.fields = {dest,
                   source,
                   code,
                   param,
                   status,
                   error,
                   {data_arr[0], data_arr[1], data_arr[2], data_arr[3]}};
  ++g_seen.calls;
}

void quiet(const char*) {}

varno::sim::Simulator& line() {
  static varno::sim::Simulator* sim = [] {
    varno::setDiagnosticSink(quiet);
    auto* s = new varno::sim::Simulator();
    const std::uint32_t baud = 115200;
    if (!varnoOpenSerialPort(s->path(), baud)) std::abort();
    return s;
  }();
  return *sim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  varno::sim::Simulator& sim = line();
  const std::size_t pieces = 1 + (data[0] & 0x03);
  const std::uint32_t gap_ms = (data[0] >> 2) & 0x07;
  std::vector<std::uint8_t> answer(data + 1, data + std::min<std::size_t>(size, 31));

  varno::sim::DeviceBehaviour device;
  device.raw_reply = answer;
  device.gap_ms = gap_ms;
  // The pieces cut the first twelve bytes only: whatever follows goes with the last of them, so
  // that nothing of this answer is still on its way when the next command starts.
  const std::size_t head = std::min<std::size_t>(answer.size(), varno::kFrameSize);
  for (std::size_t i = 1; i < pieces && head > 0; ++i) device.pieces.push_back(head / pieces);
  sim.setDevice(kDevice, device);

  const std::uint8_t word[4] = {0x10, 0x20, 0x30, 0x40};
  const int before = g_seen.calls.load();
  if (varnoSendCommand(kDevice, kHost, 5, 6, word, 100, kReplyTimeoutMs, &onReply, true) != 0) {
    std::abort();
  }
  if (g_seen.calls.load() != before + 1) std::abort();  // exactly one callback, before the return

  varno::CommandRecord expected;
  const bool valid =
      answer.size() >= varno::kFrameSize && varno::decodeFrame(answer.data(), expected);
  switch (g_seen.outcome) {
    case 0:
      // Never a reply the device did not send: twelve bytes that are a frame, fields and all.
      if (!valid || std::memcmp(&g_seen.fields, &expected, sizeof expected) != 0) std::abort();
      break;
    case 3:
      // Silence, or a simulator that could not keep up: never when the answer was on time.
      if (!answer.empty() && g_seen.fields.dest != kHost) std::abort();
      break;
    case 5:
      // Not a frame, cut short, or (on a machine too busy to keep a gap under 10 ms) cut apart.
      if (answer.empty()) std::abort();
      if (g_seen.fields.dest != kHost || g_seen.fields.source != kDevice) std::abort();
      break;
    default:
      std::abort();
  }
  // After anything but a whole reply, let the line fall quiet before the next command, so that
  // a tail the simulator was slow to send never meets the next command's reply.
  if (g_seen.outcome != 0) std::this_thread::sleep_for(std::chrono::milliseconds(15));
  return 0;
}
