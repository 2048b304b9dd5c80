// The client's side of the simulator's line, done by hand with termios so that the simulator can
// be checked independently of the library's own serial code.
#ifndef VARNO_TESTS_SIM_SIM_TEST_SUPPORT_H
#define VARNO_TESTS_SIM_SIM_TEST_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace varno::sim::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Arrival {
  std::uint8_t byte;
  Clock::time_point at;
};

inline std::vector<std::uint8_t> bytesOf(const std::vector<Arrival>& arrivals) {
  std::vector<std::uint8_t> bytes;
  for (const Arrival& a : arrivals) bytes.push_back(a.byte);
  return bytes;
}

class Terminal {
 public:
  explicit Terminal(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Terminal() {
    if (fd_ >= 0) ::close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  int fd() const { return fd_; }

  void write(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Whatever arrives until `count` bytes are in or `timeout` has passed, each byte stamped with
  // the moment it was read.
  std::vector<Arrival> read(std::size_t count, milliseconds timeout) {
    std::vector<Arrival> got;
    const Clock::time_point give_up = Clock::now() + timeout;
    while (got.size() < count) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(give_up - Clock::now()).count() + 1;
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      std::uint8_t buffer[64];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      const Clock::time_point now = Clock::now();
      if (n <= 0) break;  // hung up
      for (ssize_t i = 0; i < n; ++i) got.push_back({buffer[i], now});
    }
    return got;
  }

  std::vector<std::uint8_t> readBytes(std::size_t count,
                                      milliseconds timeout = milliseconds(5000)) {
    return bytesOf(read(count, timeout));
  }

  // Nothing at all arrives for `quiet`.
  void expectSilence(milliseconds quiet) {
    const std::vector<std::uint8_t> extra = readBytes(1, quiet);
    EXPECT_TRUE(extra.empty()) << "unexpected byte 0x" << std::hex << int(extra.front());
  }

 private:
  int fd_ = -1;
};

inline CommandRecord command(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                             std::uint8_t param = 0, std::array<std::uint8_t, 4> data = {}) {
  CommandRecord r;
  r.dest = dest;
  r.source = source;
  r.code = code;
  r.param = param;
  std::copy(data.begin(), data.end(), r.data_arr);
  return r;
}

inline std::vector<std::uint8_t> encode(const CommandRecord& r) {
  Frame f;
  encodeFrame(r, f.data());
  return {f.begin(), f.end()};
}

// What a device at `address` with default behaviour answers to `cmd`.
inline CommandRecord reply(const CommandRecord& cmd, std::uint8_t address) {
  CommandRecord r = cmd;
  r.dest = cmd.source;
  r.source = address;
  r.status = 0;
  r.error = 0;
  return r;
}

}  // namespace varno::sim::testing

#endif  // VARNO_TESTS_SIM_SIM_TEST_SUPPORT_H
