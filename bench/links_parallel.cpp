// Several links at once: N simulated buses paced at a baud rate, one link and one thread each,
// every thread doing blocking transactions for a while. Prints the transactions per second with
// one link and with N, and the ratio.
//
//   links_parallel [links] [baud] [seconds]      (defaults: 4, 38400, 3)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "simulator.h"
#include "varno_link.h"

namespace {

using Clock = std::chrono::steady_clock;

// Transactions per second over `links` links at once, each on a bus of its own.
double run(int links, std::uint32_t baud, double seconds) {
  std::vector<std::unique_ptr<varno::sim::Simulator>> buses;
  std::vector<VarnoLink*> opened(static_cast<std::size_t>(links), nullptr);
  for (int i = 0; i < links; ++i) {
    buses.push_back(std::make_unique<varno::sim::Simulator>(baud));
    buses.back()->setDevice(1);
    if (varnoLinkOpen(buses.back()->path().c_str(), baud, &opened[i]) != VARNO_OK) std::exit(1);
  }
  std::atomic<long> done{0};
  std::atomic<long> failed{0};
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < links; ++i) {
    threads.emplace_back([&, i] {
      VarnoFrame command{};
      command.dest = 1;
      command.source = 31;
      VarnoFrame reply;
      while (Clock::now() < until) {
        if (varnoLinkTransact(opened[i], &command, 1000, 1000, &reply) == VARNO_REPLY) {
          ++done;
        } else {
          ++failed;
        }
      }
    });
  }
  const auto start = Clock::now();
  for (auto& t : threads) t.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  for (VarnoLink* link : opened) varnoLinkClose(link);
  if (failed > 0) std::fprintf(stderr, "%ld transactions failed\n", failed.load());
  return static_cast<double>(done.load()) / took;
}

}  // namespace

int main(int argc, char** argv) {
  const int links = argc > 1 ? std::atoi(argv[1]) : 4;
  const auto baud =
      static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 38400);
  const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
  const double one = run(1, baud, seconds);
  const double many = run(links, baud, seconds);
  std::printf("%u baud: 1 link %.1f transactions/s; %d links %.1f transactions/s (%.2f×)\n", baud,
              one, links, many, many / one);
  return 0;
}
