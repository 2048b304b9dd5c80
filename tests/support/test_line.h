// The line the link tests run over. Natively: a simulator in this process, on a pseudo-terminal.
// Under Wine: the varno-sim program on the host, reached as the COM port named by
// $VARNO_TEST_PORT (a Windows program cannot open a pseudo-terminal itself). Both play the
// devices listed in support/bus_layout.txt.
#ifndef VARNO_TESTS_TEST_LINE_H
#define VARNO_TESTS_TEST_LINE_H

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/connection.h"

#if !defined(_WIN32)
#include "device_argument.h"
#include "simulator.h"
#endif

namespace varno::test {

// Device addresses of the bus layout.
enum BusDevice : std::uint8_t {
  kAnswers = 1,
  kSilent = 2,
  kShort = 3,
  kBadCrc = 4,
  kSplitShortGaps = 5,
  kSplitLongGap = 6,
  kCustomFields = 7,
  kOtherAddress = 8,
  kLate = 9,
  kZeroTailPrefix = 10,
};
inline constexpr std::uint8_t kHost = 31;
inline constexpr std::uint32_t kLateMs = 300;

class TestLine {
 public:
#if defined(_WIN32)
  TestLine() {
    const char* port = std::getenv("VARNO_TEST_PORT");
    if (port == nullptr) throw std::runtime_error("VARNO_TEST_PORT is not set");
    port_ = port;
  }
  static constexpr bool kNative = false;
  // Wine's serial driver refuses RTS toggling; everything else is as the exported open does it.
  OpenOptions options() const {
    OpenOptions o;
    o.rts = RtsControl::Disable;
    return o;
  }
#else
  explicit TestLine(std::uint32_t pace_baud = 0)
      : sim_(std::make_unique<sim::Simulator>(pace_baud)) {
    std::ifstream layout(VARNO_BUS_LAYOUT);
    for (std::string line; std::getline(layout, line);) {
      if (line.empty() || line[0] == '#') continue;
      const sim::DeviceArgument argument = sim::parseDeviceArgument(line);
      sim_->setDevice(argument.address, argument.behaviour);
    }
    port_ = sim_->path();
  }
  static constexpr bool kNative = true;
  OpenOptions options() const {
    return {};
  }
  sim::Simulator& sim() {
    return *sim_;
  }
#endif

  const std::string& port() const {
    return port_;
  }
  bool open(std::uint32_t baud = 38400) {
    return openConnection(port_, baud, options());
  }

 private:
  std::string port_;
#if !defined(_WIN32)
  std::unique_ptr<sim::Simulator> sim_;
#endif
};

}  // namespace varno::test

#endif  // VARNO_TESTS_TEST_LINE_H
