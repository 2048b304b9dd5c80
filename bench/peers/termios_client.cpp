// The floor: the plainest program that makes the exchange on a terminal. Write the 12 bytes,
// then poll and read until 12 have come back.
//
//   peer_termios PATH BAUD COUNT|- WARMUP
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "peer_common.h"

namespace {

speed_t speedCode(std::uint32_t baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      peers::fail("peer_termios: no termios code for " + std::to_string(baud) + " baud");
  }
}

// One exchange: empty when the expected reply came, else what went wrong.
std::string exchange(int fd) {
  if (write(fd, peers::kRequest, sizeof peers::kRequest) != sizeof peers::kRequest) {
    return std::string("write failed: ") + std::strerror(errno);
  }
  std::uint8_t reply[12];
  std::size_t got = 0;
  while (got < sizeof reply) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return "no byte for 1 s after " + std::to_string(got);
    const ssize_t n = read(fd, reply + got, sizeof reply - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EAGAIN) {
      return "read failed";
    }
  }
  if (std::memcmp(reply, peers::kReply, sizeof reply) != 0) return "unexpected reply";
  return {};
}

// After a failed exchange: let whatever is still on its way arrive, then drop it.
void settle(int fd) {
  usleep(50000);
  tcflush(fd, TCIFLUSH);
}

}  // namespace

int main(int argc, char** argv) {
  const peers::Args args = peers::parseArgs(argc, argv);
  const int fd = open(args.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) peers::fail("peer_termios: cannot open " + args.path + ": " + std::strerror(errno));
  termios t;
  if (tcgetattr(fd, &t) != 0) peers::fail("peer_termios: tcgetattr failed");
  cfmakeraw(&t);
  cfsetspeed(&t, speedCode(args.baud));
  if (tcsetattr(fd, TCSANOW, &t) != 0) peers::fail("peer_termios: tcsetattr failed");

  peers::runBlocks(args, "peer_termios", [fd] {
    const auto start = peers::Clock::now();
    peers::Outcome o{exchange(fd)};
    const auto end = peers::Clock::now();
    if (o.error.empty()) {
      o.sample_us = peers::microseconds(end - start);
    } else {
      settle(fd);
    }
    return o;
  });
  close(fd);
  return 0;
}
