// varno-gateway as a child process, and clients that speak its protocol with the codec, for the
// gateway's tests and its benchmark.
#ifndef VARNO_TESTS_GATEWAY_GATEWAY_HARNESS_H
#define VARNO_TESTS_GATEWAY_GATEWAY_HARNESS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/gateway_protocol.h"

extern char** environ;

namespace varno::gwtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace proto = varno::gateway;

// Sanitizer builds start slowly on a busy machine; nothing comes near this unless it hangs.
inline constexpr auto kGiveUp = std::chrono::seconds(30);

struct Spawned {
  pid_t pid = -1;
  int out = -1;  // its standard output, or -1
  int err = -1;  // its standard error, or -1
};

inline Spawned spawn(std::vector<std::string> args, bool pipe_out, bool pipe_err) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe_out && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (pipe_err && pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipe_out) posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (pipe_err) posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Spawned s;
  if (posix_spawn(&s.pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) s.pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (pipe_out) {
    ::close(out[1]);
    s.out = out[0];
  }
  if (pipe_err) {
    ::close(err[1]);
    s.err = err[0];
  }
  return s;
}

// Reads what a child writes to one stream, line by line, and waits for what it looks for.
class Output {
 public:
  explicit Output(int fd = -1) : fd_(fd) {}
  ~Output() {
    if (fd_ >= 0) ::close(fd_);
  }
  void reset(int fd) { fd_ = fd; }
  // A whole line holding `first`, and `then` after it: the line from `first` on. Nothing at the
  // stream's end or after kGiveUp. (No std::regex: GCC 12 warns inside it under the sanitizers.)
  std::optional<std::string> waitFor(const std::string& first, const std::string& then = "") {
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up;) {
      for (std::size_t at = text_.find(first); at != std::string::npos;
           at = text_.find(first, at + 1)) {
        const std::size_t end = text_.find('\n', at);
        if (end == std::string::npos) break;
        const std::string line = text_.substr(at, end - at);
        if (then.empty() || line.find(then, first.size()) != std::string::npos) return line;
      }
      if (!pump(100)) break;
    }
    return std::nullopt;
  }
  // Everything to the stream's end.
  const std::string& all() {
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up && pump(100);) {
    }
    return text_;
  }
  const std::string& sofar() {
    while (pump(0)) {
      if (!readable_) break;
    }
    return text_;
  }

 private:
  bool pump(int ms) {
    readable_ = false;
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    readable_ = true;
    text_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  int fd_;
  bool readable_ = false;
  std::string text_;
};

inline std::string gatewayProgram() {
  const char* over = std::getenv("VARNO_GATEWAY");
  return over != nullptr ? over : VARNO_GATEWAY_PROGRAM;
}

// One run of varno-gateway with a configuration written for it.
class Gateway {
 public:
  Gateway(const std::string& dir, const std::string& config_text,
          std::vector<std::string> extra = {}) {
    config_ = dir + "/gateway.toml";
    std::ofstream(config_) << config_text;
    std::vector<std::string> args = {gatewayProgram(), "--config", config_, "--verbose"};
    args.insert(args.end(), extra.begin(), extra.end());
    const Spawned s = spawn(args, false, true);
    pid_ = s.pid;
    log_.reset(s.err);
  }
  ~Gateway() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The port a listener got ("gateway", "bus NAME raw", "http").
  int port(const std::string& what) {
    const auto line = log_.waitFor(what + ": listening on ");
    return line ? std::stoi(line->substr(line->rfind(':') + 1)) : -1;
  }
  bool waitForLog(const std::string& first, const std::string& then = "") {
    return log_.waitFor(first, then).has_value();
  }
  std::string log() { return log_.sofar(); }
  void signal(int number) { kill(pid_, number); }
  // Its exit status, or -1 when it did not exit by itself within `limit`.
  int wait(std::chrono::milliseconds limit) {
    for (const auto give_up = Clock::now() + limit; pid_ > 0 && Clock::now() < give_up;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }
  // SIGTERM, then its exit status (-1: it did not exit in time).
  int stop() {
    signal(SIGTERM);
    return wait(std::chrono::duration_cast<std::chrono::milliseconds>(kGiveUp));
  }
  const std::string& configPath() const { return config_; }
  pid_t pid() const { return pid_; }

 private:
  std::string config_;
  pid_t pid_ = -1;
  Output log_;
};

inline int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Bytes that arrive on `fd` within `limit`; empty on end of stream.
inline std::vector<std::uint8_t> readSome(int fd, std::chrono::milliseconds limit, bool* eof) {
  pollfd p{fd, POLLIN, 0};
  *eof = false;
  if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
  std::uint8_t buffer[65536];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) {
    *eof = true;
    return {};
  }
  return {buffer, buffer + n};
}

inline bool sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// A gateway protocol client, written with the codec.
class Client {
 public:
  explicit Client(int port) : fd_(connectTo(port)) {}
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  bool send(const proto::Message& m) {
    std::vector<std::uint8_t> bytes;
    proto::appendMessage(m, bytes);
    return sendAll(fd_, bytes);
  }
  bool sendRaw(const std::vector<std::uint8_t>& bytes) { return sendAll(fd_, bytes); }

  // The next message, or nothing at the end of the stream, on a malformed one or after `limit`.
  std::optional<proto::Message> next(std::chrono::milliseconds limit = kGiveUp) {
    const auto give_up = Clock::now() + limit;
    for (;;) {
      proto::Message m;
      std::size_t used = 0;
      const auto status = proto::parseMessage(in_.data(), in_.size(), m, used);
      if (status == proto::ParseStatus::kMessage) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
        return m;
      }
      if (status == proto::ParseStatus::kMalformed) return std::nullopt;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      bool eof = false;
      const auto more = readSome(fd_, left, &eof);
      if (eof) {
        eof_ = true;
        return std::nullopt;
      }
      in_.insert(in_.end(), more.begin(), more.end());
    }
  }
  bool atEnd() const { return eof_; }

  std::optional<proto::Welcome> hello(const std::string& bus, const std::string& name = "test") {
    if (!send(proto::Hello{proto::kProtocolVersion, bus, name})) return std::nullopt;
    const auto m = next();
    if (!m || !std::holds_alternative<proto::Welcome>(*m)) return std::nullopt;
    return std::get<proto::Welcome>(*m);
  }
  std::optional<proto::Result> result(std::chrono::milliseconds limit = kGiveUp) {
    const auto m = next(limit);
    if (!m || !std::holds_alternative<proto::Result>(*m)) return std::nullopt;
    return std::get<proto::Result>(*m);
  }
  bool transact(std::uint32_t id, const CommandRecord& command, std::uint32_t write_ms = 100,
                std::uint32_t reply_ms = 100) {
    return send(proto::Transact{id, write_ms, reply_ms, command});
  }

 private:
  int fd_;
  bool eof_ = false;
  std::vector<std::uint8_t> in_;
};

inline CommandRecord command(std::uint8_t dest, std::uint32_t word, std::uint8_t source = 31,
                             std::uint8_t code = 3) {
  CommandRecord r;
  r.dest = dest;
  r.source = source;
  r.code = code;
  for (int i = 0; i < 4; ++i) r.data_arr[i] = static_cast<std::uint8_t>(word >> (8 * i));
  return r;
}

inline std::uint32_t wordOf(const CommandRecord& r) {
  return static_cast<std::uint32_t>(r.data_arr[0]) |
         static_cast<std::uint32_t>(r.data_arr[1]) << 8 |
         static_cast<std::uint32_t>(r.data_arr[2]) << 16 |
         static_cast<std::uint32_t>(r.data_arr[3]) << 24;
}

// GET /metrics, the body only.
inline std::string fetchMetrics(int port) {
  const int fd = connectTo(port);
  if (fd < 0) return {};
  sendAll(fd, std::vector<std::uint8_t>({'G', 'E', 'T', ' ',  '/',  'm',  'e', 't', 'r',
                                         'i', 'c', 's', ' ',  'H',  'T',  'T', 'P', '/',
                                         '1', '.', '0', '\r', '\n', '\r', '\n'}));
  std::string text;
  for (;;) {
    bool eof = false;
    const auto some = readSome(fd, 5000ms, &eof);
    if (some.empty()) break;
    text.append(some.begin(), some.end());
  }
  ::close(fd);
  const std::size_t body = text.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : text.substr(body + 4);
}

// The value of one sample line (name with its labels, as printed), or nothing.
inline std::optional<double> metric(const std::string& text, const std::string& sample) {
  const std::size_t at = text.find("\n" + sample + " ");
  if (at == std::string::npos) return std::nullopt;
  return std::stod(text.substr(at + sample.size() + 2));
}

}  // namespace varno::gwtest

#endif  // VARNO_TESTS_GATEWAY_GATEWAY_HARNESS_H
