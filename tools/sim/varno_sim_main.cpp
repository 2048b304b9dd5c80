// varno-sim: devices on a pseudo-terminal, for trying the library (or anything else that speaks
// the frame protocol) without hardware.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "device_argument.h"
#include "network_server.h"
#include "simulator.h"
#include "varno_version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kFooter = R"(Devices:
  Each DEVICE is an address (0..127), optionally followed by a colon and options
  separated by commas. A device answers a valid command frame addressed to it: the
  command's addresses swapped, its code and parameter echoed, status and error 0,
  its data word echoed. Commands to other addresses, and invalid frames, go
  unanswered.

Device options:
  silent          never answers
  late=MS         answers MS milliseconds late
  short=N         sends only the first N bytes (0..12) of its answer
  badcrc          the answer's CRC byte is wrong
  split=A+B+...   sends the answer in pieces of A, B, ... bytes (any rest as a last piece)
  gap=MS          ... with MS milliseconds of silence between the pieces
  status=N        the answer's status byte
  error=N         the answer's error byte
  data=N          the answer's data word (32 bits, sent least significant byte first)
  store           a command whose data word is not zero sets the answer's data word
                  (as data=N), so that a value can change while the simulator runs
  to=ADDR         answers to ADDR instead of the command's source
  hangup=N        sends N bytes of its answer, then the line goes away for good
  raw=HEXBYTES    sends exactly these bytes instead of an answer frame, e.g. raw=8102
  Numbers are decimal, or hexadecimal after 0x.

Pacing:
  Without --baud, bytes go out as fast as the terminal takes them. With --baud N,
  every byte takes ten bit times at N baud and is delivered when its last bit would
  have arrived; a command occupies the line for twelve byte times from its first
  byte, so an answer ends no sooner than 24 byte times after the command began.

Network:
  --tcp PORT serves the line on 127.0.0.1:PORT as raw TCP, --rfc2217 PORT as telnet
  with COM-PORT-OPTION (RFC 2217: the client's baud rate and framing are set on the
  terminal, and each setting answered). One client at a time; a new client takes
  over. PORT 0 takes a free port.

Output:
  The first line on standard output is the path of the terminal to open (the same
  as --link's target); with --tap, the second is the tap's terminal, which mirrors
  every byte on the line both ways (commands and answers, as they pass); then one
  line with the address of each network server (tcp://127.0.0.1:PORT,
  rfc2217://127.0.0.1:PORT, in that order). The simulator then serves until SIGINT
  or SIGTERM, and exits with 0. With --verbose, every frame received and every answer goes to standard
  error in hex. Bad arguments exit with 2, other failures with 1.

Example:
  varno-sim --link /tmp/varno 1 2:silent 3:short=5 4:badcrc 5:split=4+4+4,gap=5)";

int usageError(const std::string& message) {
  std::fprintf(stderr, "varno-sim: %s (see --help)\n", message.c_str());
  return kExitUsage;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "varno-sim: %s\n", message.c_str());
  return kExitFailure;
}

bool isSymbolicLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Only our own link goes: another simulator may have taken the name over since.
void removeLink(const std::string& link, const std::string& target) {
  char buffer[4096];
  const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
  if (length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == target) {
    unlink(link.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulates addressed devices answering 12-byte frames on a pseudo-terminal."};
  app.name("varno-sim");
  std::uint32_t baud = 0;
  std::string link;
  bool verbose = false;
  std::string tap;
  std::vector<std::string> device_texts;
  app.add_option("--baud", baud, "Pace the line as at this many baud (default: no pacing)")
      ->type_name("N");
  app.add_option("--link", link,
                 "Make this path a symbolic link to the terminal while running (an existing "
                 "symbolic link is replaced, anything else refused)")
      ->type_name("PATH");
  app.add_option("--tap", tap,
                 "Open a second terminal that mirrors every byte on the line, both ways (for "
                 "varno monitor); its path is the second line of output. PATH: also make PATH a "
                 "symbolic link to it; auto: only print it")
      ->type_name("PATH|auto");
  std::optional<std::uint16_t> tcp_port;
  std::optional<std::uint16_t> rfc2217_port;
  app.add_option("--tcp", tcp_port, "Serve the line as raw TCP on 127.0.0.1:PORT (0: any port)")
      ->type_name("PORT");
  app.add_option("--rfc2217", rfc2217_port,
                 "Serve the line as telnet with COM-PORT-OPTION on 127.0.0.1:PORT (0: any port)")
      ->type_name("PORT");
  app.add_flag("-v,--verbose", verbose, "Log every frame received and every answer to stderr");
  app.set_version_flag("--version", "varno-sim " VARNO_VERSION_STRING);
  app.add_option("DEVICE", device_texts, "ADDR[:OPTION[,OPTION...]], see below")
      ->type_name("")
      ->required();
  app.footer(kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    return usageError(e.what());
  }

  std::vector<varno::sim::DeviceArgument> devices;
  std::set<int> addresses;
  for (const std::string& text : device_texts) {
    try {
      devices.push_back(varno::sim::parseDeviceArgument(text));
    } catch (const std::invalid_argument& e) {
      return usageError(e.what());
    }
    if (!addresses.insert(devices.back().address).second) {
      return usageError("device address " + std::to_string(devices.back().address) +
                        " given twice");
    }
  }
  if (!link.empty() && pathExists(link) && !isSymbolicLink(link)) {
    return usageError("--link " + link + " exists and is not a symbolic link");
  }
  const std::string tap_link = tap == "auto" ? "" : tap;
  if (!tap_link.empty() && pathExists(tap_link) && !isSymbolicLink(tap_link)) {
    return usageError("--tap " + tap_link + " exists and is not a symbolic link");
  }

  // Blocked before the simulator's thread starts, so that it inherits the mask and the signals
  // only ever reach sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::optional<varno::sim::Simulator> simulator;
  try {
    simulator.emplace(baud);
  } catch (const std::system_error& e) {
    return failure(std::string("cannot open a pseudo-terminal: ") + e.what());
  }
  if (verbose) {
    simulator->setTrace(
        [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  }
  for (auto& device : devices) simulator->setDevice(device.address, std::move(device.behaviour));

  const std::string path = simulator->path();  // outlives the simulator, for removeLink
  if (!link.empty()) {
    if (isSymbolicLink(link)) unlink(link.c_str());
    if (symlink(path.c_str(), link.c_str()) != 0) {
      return failure("cannot link " + link + ": " + std::strerror(errno));
    }
  }
  std::string tap_path;
  if (!tap.empty()) {
    try {
      tap_path = simulator->openTap();
    } catch (const std::system_error& e) {
      return failure(std::string("cannot open the tap: ") + e.what());
    }
    if (!tap_link.empty()) {
      if (isSymbolicLink(tap_link)) unlink(tap_link.c_str());
      if (symlink(tap_path.c_str(), tap_link.c_str()) != 0) {
        return failure("cannot link " + tap_link + ": " + std::strerror(errno));
      }
    }
  }
  std::vector<std::unique_ptr<varno::sim::NetworkServer>> servers;
  try {
    using Protocol = varno::sim::NetworkServer::Protocol;
    if (tcp_port) {
      servers.push_back(
          std::make_unique<varno::sim::NetworkServer>(path, *tcp_port, Protocol::kRaw));
    }
    if (rfc2217_port) {
      servers.push_back(
          std::make_unique<varno::sim::NetworkServer>(path, *rfc2217_port, Protocol::kRfc2217));
    }
  } catch (const std::system_error& e) {
    if (!link.empty()) removeLink(link, path);
    return failure(std::string("cannot serve the line on the network: ") + e.what());
  }
  std::printf("%s\n", path.c_str());
  if (!tap_path.empty()) std::printf("%s\n", tap_path.c_str());
  for (const auto& server : servers) std::printf("%s\n", server->url().c_str());
  std::fflush(stdout);

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  if (verbose) std::fprintf(stderr, "%s: stopping\n", strsignal(signal_number));
  servers.clear();
  simulator.reset();
  if (!link.empty()) removeLink(link, path);
  if (!tap_link.empty()) removeLink(tap_link, tap_path);
  return 0;
}
