// Does `varno monitor` keep up with a fully loaded bus? A pseudo-terminal stands for the bus: this
// program writes frames back to back onto it, paced as a 115200-baud line would carry them (12
// bytes of 10 bits each: one frame every 1.042 ms, 960 a second), while varno monitor listens on
// the other end. Every line it prints is timed as it arrives here. Then the same unpaced, to see
// how many frames a second the monitor could take.
//
//   monitor_bench [SECONDS] [BAUD] [FLOOD]     (defaults 5, 115200 and 100000 frames)
//
// Prints, for each run: frames written and shown, the lag from the write of a frame's last byte
// (taken just before it) to its line arriving (median, p99, max), and the monitor's processor time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "varno_link.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  std::size_t written = 0;
  std::size_t shown = 0;   // frames shown as valid
  std::size_t faults = 0;  // anything else shown before the summary
  std::vector<double> lag_us;
  double seconds = 0;
  double cpu_ms = 0;
};

std::vector<std::uint8_t> frames(std::size_t count) {
  std::vector<std::uint8_t> out(count * 12);
  for (std::size_t i = 0; i < count; ++i) {
    VarnoFrame f{};
    f.dest = static_cast<std::uint8_t>(1 + i % 100);
    f.source = 31;
    f.code = static_cast<std::uint8_t>(i % 128);
    f.data[0] = static_cast<std::uint8_t>(i);
    f.data[1] = static_cast<std::uint8_t>(i >> 8);
    varnoFrameEncode(&f, &out[i * 12]);
  }
  return out;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// One run: `count` frames, paced at `baud` (0: as fast as the terminal takes them).
Run measure(const char* varno, std::size_t count, std::uint32_t baud) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  grantpt(master);
  unlockpt(master);
  const std::string terminal = ptsname(master);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const std::string count_text = std::to_string(count);
  const std::string baud_text = std::to_string(baud == 0 ? 115200 : baud);
  std::vector<std::string> args = {varno,    "--verbose", "monitor", "--port",  terminal,
                                   "--baud", baud_text,   "--count", count_text};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, varno, &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
  ::close(out[1]);
  ::close(err[1]);

  // Listening first.
  std::string err_text;
  while (err_text.find("listening") == std::string::npos) {
    char buffer[256];
    const ssize_t n = ::read(err[0], buffer, sizeof buffer);
    if (n <= 0) std::exit(1);
    err_text.append(buffer, static_cast<std::size_t>(n));
  }

  const std::vector<std::uint8_t> bytes = frames(count);
  std::vector<Clock::time_point> written(count);
  Run run;
  const auto frame_time = baud == 0 ? Clock::duration::zero()
                                    : std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::nanoseconds(120'000'000'000ULL / baud));
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  const int out_flags = fcntl(out[0], F_GETFL);
  fcntl(out[0], F_SETFL, out_flags | O_NONBLOCK);

  const Clock::time_point start = Clock::now();
  std::size_t next = 0;       // next frame to write
  std::size_t next_byte = 0;  // of it
  Clock::time_point progress = start;
  std::string line;
  while (run.shown + run.faults < count) {
    if (Clock::now() - progress > std::chrono::seconds(3)) {
      std::fprintf(stderr, "stalled: %zu written, %zu shown\n", next, run.shown);
      break;
    }
    // Write what is due.
    const Clock::time_point now = Clock::now();
    while (next < count &&
           (frame_time.count() == 0 || start + frame_time * static_cast<long>(next) <= now)) {
      // Timed from just before the write that completes the frame: the monitor may have shown
      // it before this thread runs again.
      const Clock::time_point begun = Clock::now();
      const ssize_t put = ::write(master, &bytes[next * 12 + next_byte], 12 - next_byte);
      if (put <= 0) break;
      next_byte += static_cast<std::size_t>(put);
      if (next_byte < 12) break;
      written[next++] = begun;
      next_byte = 0;
      if (frame_time.count() == 0 && next % 64 == 0) break;  // read too
    }
    // Read what the monitor printed; each line is one frame.
    int timeout = 1;
    if (frame_time.count() != 0 && next < count) {
      const auto due = start + frame_time * static_cast<long>(next) - Clock::now();
      timeout = static_cast<int>(std::max<long long>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(due).count()));
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, timeout) > 0) {
      char buffer[65536];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n == 0) break;
      if (n > 0) {
        const Clock::time_point at = Clock::now();
        progress = at;
        for (ssize_t i = 0; i < n; ++i) {
          if (buffer[i] != '\n') {
            line += buffer[i];
            continue;
          }
          if (run.shown + run.faults < count) {
            if (line.find(" <- ") == std::string::npos) {
              ++run.faults;
            } else {
              if (run.shown < next) {
                run.lag_us.push_back(
                    std::chrono::duration<double, std::micro>(at - written[run.shown]).count());
              }
              ++run.shown;
            }
          }
          line.clear();
        }
      }
    }
  }
  run.written = next;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int status = 0;
  rusage usage{};
  kill(pid, SIGINT);
  wait4(pid, &status, 0, &usage);
  run.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
  ::close(out[0]);
  ::close(err[0]);
  ::close(master);
  return run;
}

void report(const char* title, const Run& r) {
  std::printf("%s\n", title);
  std::printf("  frames written %zu, shown %zu (faults %zu), in %.2f s (%.0f frames/s)\n",
              r.written, r.shown, r.faults, r.seconds, static_cast<double>(r.shown) / r.seconds);
  std::printf(
      "  lag from the frame's last write to its line: median %.0f us, p99 %.0f us, max %.0f us\n",
      percentile(r.lag_us, 0.5), percentile(r.lag_us, 0.99),
      r.lag_us.empty() ? 0.0 : *std::max_element(r.lag_us.begin(), r.lag_us.end()));
  std::printf("  monitor CPU %.0f ms (%.1f%% of one core, %.1f us per frame)\n", r.cpu_ms,
              100.0 * r.cpu_ms / 1000.0 / r.seconds,
              1000.0 * r.cpu_ms / static_cast<double>(r.shown));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const std::uint32_t baud = argc > 2 ? static_cast<std::uint32_t>(std::atol(argv[2])) : 115200;
  const std::size_t paced = static_cast<std::size_t>(seconds * baud / 120.0);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  report(("fully loaded bus at " + std::to_string(baud) + " baud, " + std::to_string(paced) +
          " frames back to back")
             .c_str(),
         measure(VARNO_TOOL, paced, baud));
  const std::size_t flood = argc > 3 ? static_cast<std::size_t>(std::atol(argv[3])) : 100000;
  report(
      ("unpaced: as fast as the terminal takes them, " + std::to_string(flood) + " frames").c_str(),
      measure(VARNO_TOOL, flood, 0));
  return 0;
}
