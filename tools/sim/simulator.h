// Devices on a pseudo-terminal: the library opens the terminal end as it would a serial port, and
// the simulator answers its command frames the way each configured device is told to, including
// the ways real devices go wrong (silence, lateness, short or corrupt answers, vanishing).
//
// One thread serves the line. It reads what the library writes, assembles frames, and answers a
// valid frame addressed to a configured device. While a device is answering, nothing more is read:
// further commands wait in the terminal, as they would in a device that handles one at a time.
#ifndef VARNO_SIM_SIMULATOR_H
#define VARNO_SIM_SIMULATOR_H

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"

namespace varno::sim {

struct DeviceBehaviour {
  // The answer: addresses swapped (dest = command's source, source = command's dest & 0x7F),
  // code and param echoed, then these:
  std::uint8_t status = 0;
  std::uint8_t error = 0;
  std::optional<std::array<std::uint8_t, 4>> data;  // unset: echo the command's data word
  bool store = false;            // a command with a data word other than zero sets `data` ("store")
  bool silent = false;           // never answers
  std::uint32_t delay_ms = 0;    // waits this long after the command before answering ("late")
  std::size_t truncate_to = 12;  // sends only the first N bytes of its answer ("short")
  bool corrupt_crc = false;      // the answer's CRC byte is wrong (still bit 7 clear)
  std::vector<std::size_t> pieces;         // sends the answer in pieces of these sizes ("split")...
  std::uint32_t gap_ms = 0;                // ...with this much silence between pieces
  std::optional<std::uint8_t> reply_dest;  // answers with this dest instead ("for another address")
  std::optional<std::vector<std::uint8_t>> raw_reply;  // sends exactly these bytes instead of a
                                                       // frame (truncate_to does not apply)
  std::optional<std::size_t> hang_up_after;  // sends this many bytes of its answer, then the line
                                             // goes away (as hangUp())
};

// One answer as it actually went onto the line. Under load the simulator's thread may be held up
// anywhere, so an answer can go out later, and its pieces further apart, than the device was
// told; tests that must not blame the library for that look here.
struct AnswerRecord {
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Write {
    std::size_t count = 0;  // bytes of the answer in this write
    TimePoint begun{};      // taken just before the write
    TimePoint done{};       // taken once it had returned: the bytes were in the terminal by then
  };
  std::uint8_t device = 0;
  varno::Frame command{};           // the command being answered
  TimePoint command_read{};         // when its first byte was read from the line
  std::vector<std::uint8_t> bytes;  // the whole answer, as the device meant to send it
  std::vector<Write> writes;        // what of it went out, in order

  // The longest the line may have been silent between two writes of the answer: from the start
  // of one write (its bytes may have landed at once) to the end of the next.
  TimePoint::duration longestSilenceBound() const {
    TimePoint::duration longest{};
    for (std::size_t i = 1; i < writes.size(); ++i) {
      longest = std::max(longest, writes[i].done - writes[i - 1].begun);
    }
    return longest;
  }
};

class Simulator {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens a pseudo-terminal and starts serving it on its own thread. Throws std::system_error.
  // pace_baud 0: bytes go out as fast as possible. Otherwise every byte takes ten bit times, and
  // reaches the terminal when its last bit would have: a paced answer ends 24 byte times after
  // the first byte of the command arrived.
  explicit Simulator(std::uint32_t pace_baud = 0);
  ~Simulator();  // stops promptly, even in the middle of a delay or gap

  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  const std::string& path() const { return path_; }  // the terminal end, for the library to open

  // Opens the tap: a second pseudo-terminal that gets a copy of every byte on the line, both
  // ways, in the order they pass (what a listener on a real bus would hear). Returns the path of
  // its terminal end. Bytes its reader does not take in time are dropped: the tap never holds
  // the line up. Throws std::system_error. Once only.
  const std::string& openTap();

  void setDevice(std::uint8_t address, DeviceBehaviour behaviour = {});
  void removeDevice(std::uint8_t address);
  void setPacing(std::uint32_t baud);

  std::vector<std::uint8_t> received() const;  // every byte read from the line, in order
  // The 12-byte runs among them that begin with a start mark and hold no other, valid or not.
  std::vector<varno::Frame> receivedFrames() const;
  // Blocks until at least `count` frames have been received, or the timeout passes.
  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  // Answers the devices began to send: counted when a device's delay is over and its first byte
  // is due, so a silent device, or one stopped during its delay, does not count.
  std::size_t answersStarted() const;
  // The answers begun (as counted by answersStarted()), in order.
  std::vector<AnswerRecord> answers() const;
  // Blocks until at least `frames` frames have been received and every frame received has been
  // dealt with: answered in full, ignored, or given up because the line went away. False when the
  // timeout passes first.
  bool waitUntilIdle(std::size_t frames, std::chrono::milliseconds timeout) const;
  // received(), receivedFrames(), answersStarted() and answers() start again from nothing.
  void clearLog();

  // Unsolicited bytes onto the line, now (between the bytes of an answer in progress, if there is
  // one; paced like any other). Returns once they are written, or the line is gone.
  void send(const std::vector<std::uint8_t>& bytes);
  // The line goes away now, as when the device vanishes: the terminal end sees a hang-up from
  // here on. Returns once it is done.
  void hangUp();
  bool hungUp() const;
  // When the line went away, taken once it had (unset while it is still there).
  std::optional<Clock::time_point> hungUpAt() const;

  // Receives one line of text for each frame received and each answer (for a verbose log).
  // Called on the simulator's thread.
  void setTrace(std::function<void(const std::string&)> trace);

 private:
  enum class Wake { kDeadline, kStop, kSends };

  void serve();
  void process(const std::uint8_t* bytes, std::size_t count, Clock::time_point arrival);
  bool answer(const varno::CommandRecord& command, const DeviceBehaviour& behaviour,
              const varno::Frame& command_frame, Clock::time_point arrival);
  bool transmit(const std::uint8_t* bytes, std::size_t count, Clock::time_point earliest,
                bool serve_sends, bool answer_bytes);
  bool writeAll(const std::uint8_t* bytes, std::size_t count);
  bool flushSends();
  bool waitForClientToRead();
  Wake sleepUntil(Clock::time_point deadline, bool watch_sends);
  bool interrupted();  // a stop or hang-up is pending; carries out the hang-up
  void closeLine();
  void wake() const;
  void drainWake() const;
  Clock::duration byteTime() const;
  void trace(const std::string& line);
  void mirror(const std::uint8_t* bytes, std::size_t count);

  std::string path_;
  int master_fd_ = -1;
  int terminal_fd_ = -1;  // held open only so the master never sees the library's close
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
  std::string tap_path_;
  std::atomic<int> tap_fd_{-1};  // the tap's master end
  int tap_terminal_fd_ = -1;     // held open, as the line's

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::uint8_t, DeviceBehaviour> devices_;
  std::vector<std::uint8_t> received_;
  std::vector<varno::Frame> frames_;
  std::size_t answers_started_ = 0;
  std::vector<AnswerRecord> answers_;
  std::size_t frames_in_hand_ = 0;  // received, not yet dealt with
  std::deque<std::uint8_t> outgoing_;
  std::uint64_t sends_queued_ = 0;   // bytes ever handed to send()
  std::uint64_t sends_written_ = 0;  // of those, written or dropped
  bool stop_ = false;
  bool hang_up_requested_ = false;
  bool hung_up_ = false;
  std::optional<Clock::time_point> hung_up_at_;
  std::function<void(const std::string&)> trace_;
  std::atomic<std::uint32_t> pace_baud_;

  // Serving thread only.
  std::vector<std::uint8_t> partial_;  // the frame being assembled
  Clock::time_point partial_arrival_{};
  Clock::time_point line_free_at_{};  // when the last byte written has left the wire

  std::thread thread_;
};

}  // namespace varno::sim

#endif  // VARNO_SIM_SIMULATOR_H
