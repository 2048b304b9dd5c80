// Transaction latency over a pseudo-terminal against the simulator, beside the floor: a minimal
// raw termios exchange on the same terminal (write 12 bytes, poll, read 12).
//
//   link_latency [transactions] [baud]      (defaults: 2000, no pacing)
//
// With a baud rate the simulator paces its bytes at that speed, both ways.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "protocol/frame.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::time_point::rep> g_callback_at{0};
std::atomic<int> g_outcome{-1};

void VARNO_CALL onReply(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                        std::uint8_t, std::uint8_t*, std::int32_t error_status) {
  g_callback_at = Clock::now().time_since_epoch().count();
  g_outcome = error_status;
  g_outcome.notify_one();
}

struct Stats {
  double median_us;
  double p99_us;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

double us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The floor: what the plainest program does for one request and reply on this terminal.
std::vector<double> rawExchanges(const std::string& path, int n, std::uint32_t baud) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) std::exit(1);
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, baud == 0 ? B115200 : B38400);
  tcsetattr(fd, TCSANOW, &t);
  varno::CommandRecord request;
  request.dest = 1;
  request.source = 31;
  std::uint8_t frame[12];
  varno::encodeFrame(request, frame);
  std::vector<double> samples;
  for (int i = 0; i < n; ++i) {
    const auto start = Clock::now();
    if (write(fd, frame, 12) != 12) std::exit(1);
    std::uint8_t reply[12];
    std::size_t got = 0;
    while (got < 12) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) std::exit(1);
      const ssize_t r = read(fd, reply + got, 12 - got);
      if (r > 0) got += static_cast<std::size_t>(r);
    }
    samples.push_back(us(Clock::now() - start));
  }
  close(fd);
  return samples;
}

double cpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void row(const char* what, const Stats& s, const Stats& floor) {
  std::printf("| %-40s | %9.1f | %9.1f | %5.2f |\n", what, s.median_us, s.p99_us,
              s.median_us / floor.median_us);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::uint32_t baud = argc > 2 ? static_cast<std::uint32_t>(std::atoi(argv[2])) : 0;

  varno::sim::Simulator sim(baud);
  sim.setDevice(1);
  const std::uint8_t data[4] = {};

  // Warm up, then the floor.
  rawExchanges(sim.path(), 50, baud);
  const Stats floor = stats(rawExchanges(sim.path(), n, baud));

  if (!varnoOpenSerialPort(sim.path(), baud == 0 ? 115200 : baud)) return 1;
  std::vector<double> to_callback, to_return, return_after_callback;
  double cpu = 0;
  for (int pass = 0; pass < 2; ++pass) {
    const bool measured = pass == 1;
    const int count = measured ? n : 50;
    const double cpu_before = cpuSeconds();
    for (int i = 0; i < count; ++i) {
      // Send to callback, not waiting in the library.
      g_outcome = -1;
      auto start = Clock::now();
      if (varnoSendCommand(1, 31, 0, 0, data, 100, 100, &onReply, false) != 0) return 1;
      // Blocked, not spinning: the worker and the simulator need the machine's two cores.
      g_outcome.wait(-1);
      const Clock::time_point called{Clock::duration(g_callback_at.load())};
      if (g_outcome != 0) {
        std::fprintf(stderr, "transaction %d: outcome %d\n", i, g_outcome.load());
        return 2;
      }
      while (varnoGetSerialPortCurrentState() != 1) std::this_thread::yield();
      if (measured) to_callback.push_back(us(called - start));

      // A waiting send: until it returns, and how long after its callback.
      g_outcome = -1;
      start = Clock::now();
      varnoSendCommand(1, 31, 0, 0, data, 100, 100, &onReply, true);
      const auto returned = Clock::now();
      if (g_outcome != 0) {
        std::fprintf(stderr, "waiting transaction %d: outcome %d\n", i, g_outcome.load());
        return 2;
      }
      if (measured) {
        to_return.push_back(us(returned - start));
        return_after_callback.push_back(
            us(returned - Clock::time_point{Clock::duration(g_callback_at.load())}));
      }
    }
    if (measured) cpu = cpuSeconds() - cpu_before;
  }

  // An open connection with nothing to do.
  const double idle_before = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double idle_cpu = cpuSeconds() - idle_before;
  varnoCloseSerialPort();

  std::printf("\n%d transactions each, %s\n\n", n,
              baud ? ("simulator pacing at " + std::to_string(baud) + " baud").c_str()
                   : "simulator answering at once");
  std::printf("| %-40s | %9s | %9s | %5s |\n", "", "median us", "p99 us", "ratio");
  std::printf("|------------------------------------------|-----------|-----------|-------|\n");
  row("raw termios write/poll/read (floor)", floor, floor);
  row("varnoSendCommand to callback", stats(to_callback), floor);
  row("varnoSendCommand with wait, to return", stats(to_return), floor);
  const Stats lag = stats(return_after_callback);
  std::printf("\nwait: returns %.1f us after its callback (median), %.1f us (p99)\n", lag.median_us,
              lag.p99_us);
  std::printf("CPU, whole process (library and simulator): %.1f us per transaction\n",
              cpu * 1e6 / (2.0 * n));
  std::printf("CPU with the connection open and idle for 1 s: %.1f ms\n", idle_cpu * 1e3);
  return 0;
}
