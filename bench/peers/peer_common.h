// What the C++ peer clients share: the arguments, the two frames, the clock, the CPU time, the
// loop of blocks and the result line the driver (peers.py) reads.
//
//   <client> PATH BAUD COUNT WARMUP
//
// PATH is the simulator's terminal, BAUD the rate to open it at. After WARMUP exchanges the client
// runs COUNT exchanges and prints one line of JSON on standard output:
// {"count": N, "cpu_s": S, "errors": E, "samples_us": [...], ...}. With COUNT "-" it runs blocks
// instead, keeping the port open: each line of standard input holding a number N runs N
// exchanges and prints one such line; an empty line or the end of the input closes the port and
// ends the client. That lets a driver interleave several clients in short blocks without paying
// a start-up per block. An exchange that fails (no reply, a short or wrong one) is counted, left
// out of the samples and followed by a pause that lets the line settle; too many of them in one
// block, or anything else going wrong, end the client with one line on standard error and exit
// status 1.
#ifndef VARNO_BENCH_PEERS_PEER_COMMON_H
#define VARNO_BENCH_PEERS_PEER_COMMON_H

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace peers {

using Clock = std::chrono::steady_clock;

// Device 1 from address 31, code 0, and the device's answer.
constexpr std::uint8_t kRequest[12] = {0x81, 0x1F, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x06};
constexpr std::uint8_t kReply[12] = {0x9F, 0x01, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x36};

struct Args {
  std::string path;
  std::uint32_t baud = 115200;
  int count = 2000;  // 0: blocks, as standard input asks for them
  int warmup = 200;
};

[[noreturn]] inline void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

inline Args parseArgs(int argc, char** argv, const char* usage_tail = "") {
  if (argc < 5) {
    fail(std::string("usage: ") + argv[0] + " PATH BAUD COUNT WARMUP" + usage_tail);
  }
  Args a;
  a.path = argv[1];
  a.baud = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const std::string count = argv[3];
  a.count = count == "-" ? 0 : std::atoi(argv[3]);
  a.warmup = std::atoi(argv[4]);
  if (a.path.empty() || a.baud == 0 || (a.count <= 0 && count != "-") || a.warmup < 0) {
    fail("bad arguments");
  }
  return a;
}

// Failed exchanges, warm-up and measured apart; more than `limit` in one block (the warm-up
// counted with the first) end the client.
class Errors {
 public:
  explicit Errors(const char* client, int count)
      : client_(client), limit_(std::max(10, count / 50)) {}

  // A block of `count` exchanges begins: its own failures and limit. The warm-up's failures are
  // reported with the first block only.
  void nextBlock(int count) {
    if (blocks_++ > 0) {
      warmup_ = 0;
      first_.clear();
    }
    measured_ = 0;
    limit_ = std::max(10, count / 50) + warmup_;
  }

  void note(bool measured, int exchange, const std::string& what) {
    (measured ? measured_ : warmup_) += 1;
    if (first_.empty()) {
      first_ = std::string(measured ? "exchange " : "warm-up exchange ") +
               std::to_string(exchange) + ": " + what;
    }
    if (measured_ + warmup_ > limit_) {
      fail(std::string(client_) + ": " + std::to_string(measured_ + warmup_) +
           " failed exchanges; the first, " + first_);
    }
  }

  int measured() const { return measured_; }
  int warmup() const { return warmup_; }
  const std::string& first() const { return first_; }

 private:
  const char* client_;
  int limit_;
  int measured_ = 0;
  int warmup_ = 0;
  int blocks_ = 0;
  std::string first_;
};

inline double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// User plus system time of the whole process, every thread included.
inline double cpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline void appendSeries(std::string& out, const char* name, const std::vector<double>& v) {
  out += ", \"";
  out += name;
  out += "\": [";
  char cell[32];
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::snprintf(cell, sizeof cell, i == 0 ? "%.3f" : ",%.3f", v[i]);
    out += cell;
  }
  out += "]";
}

// The result line. `extra` holds further named series, shown by the driver as notes.
inline void printResult(
    int count, double cpu_s, const Errors& errors, const std::vector<double>& samples_us,
    const std::vector<std::pair<const char*, std::vector<double>>>& extra = {}) {
  char head[160];
  std::snprintf(head, sizeof head,
                "{\"count\": %d, \"cpu_s\": %.6f, \"errors\": %d, \"warmup_errors\": %d", count,
                cpu_s, errors.measured(), errors.warmup());
  std::string out = head;
  // The message is the program's own text: no quotes or backslashes to escape.
  out += ", \"first_error\": \"" + errors.first() + "\"";
  appendSeries(out, "samples_us", samples_us);
  for (const auto& [name, series] : extra) appendSeries(out, name, series);
  out += "}\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

// What one exchange came to: `error` empty when the expected reply came; then `sample_us` its
// time, and `extra_us` a second figure where the client keeps one.
struct Outcome {
  std::string error;
  double sample_us = 0;
  double extra_us = 0;
};

// The warm-up, then one block of args.count exchanges or, with COUNT "-", the blocks standard
// input asks for; one result line per block. `extra_name` names the series of extra_us.
template <class Exchange>
void runBlocks(const Args& args, const char* client, Exchange&& exchange,
               const char* extra_name = nullptr) {
  Errors errors(client, args.warmup);
  for (int i = 0; i < args.warmup; ++i) {
    if (const Outcome o = exchange(); !o.error.empty()) errors.note(false, i, o.error);
  }
  std::vector<double> samples, extra;
  auto block = [&](int count) {
    errors.nextBlock(count);
    samples.clear();
    extra.clear();
    samples.reserve(static_cast<std::size_t>(count));
    extra.reserve(extra_name ? static_cast<std::size_t>(count) : 0);
    const double cpu_before = cpuSeconds();
    for (int i = 0; i < count; ++i) {
      const Outcome o = exchange();
      if (!o.error.empty()) {
        errors.note(true, i, o.error);
        continue;
      }
      samples.push_back(o.sample_us);
      if (extra_name) extra.push_back(o.extra_us);
    }
    const double cpu = cpuSeconds() - cpu_before;
    if (extra_name) {
      printResult(count, cpu, errors, samples, {{extra_name, extra}});
    } else {
      printResult(count, cpu, errors, samples);
    }
  };
  if (args.count > 0) {
    block(args.count);
    return;
  }
  char line[32];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    const int count = std::atoi(line);
    if (count <= 0) break;
    block(count);
  }
}

}  // namespace peers

#endif  // VARNO_BENCH_PEERS_PEER_COMMON_H
