// The varno program as a user runs it: a child process talking to simulated devices on a
// pseudo-terminal, its output, its JSON and its exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VarnoDLL.h"
#include "protocol/frame.h"
#include "simulator.h"

extern char** environ;

namespace varno::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using Args = std::vector<std::string>;

// Sanitizer builds start slowly on a busy machine; nothing here comes near this unless it hangs.
constexpr auto kGiveUp = 30s;
// For devices that answer: a reply comes when it comes, and a machine busy enough to hold up the
// simulator's thread for a while must not turn it into a silence.
constexpr const char* kAnswerTimeout = "2000";

struct Result {
  int exit_code = -1;  // -1: killed, or did not exit in time
  std::string out;
  std::string err;
};

// One run of varno, its standard output and error collected through pipes.
// Where varno's standard output goes.
enum class Stdout { kPipe, kFull, kClosed };

class Varno {
 public:
  explicit Varno(Args args, Stdout stdout_to = Stdout::kPipe) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_to == Stdout::kPipe) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else if (stdout_to == Stdout::kFull) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Whatever the test runner blocks, varno starts with SIGINT deliverable.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    // VARNO_TOOL in the environment runs another build of varno against these tests.
    const char* tool = std::getenv("VARNO_TOOL");
    args.insert(args.begin(), tool != nullptr ? tool : VARNO_TOOL);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    fds_[0] = out[0];
    fds_[1] = err[0];
  }

  ~Varno() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    for (int fd : fds_) ::close(fd);
  }

  Varno(const Varno&) = delete;
  Varno& operator=(const Varno&) = delete;

  // True once standard output holds `count` complete lines.
  bool waitForLines(std::ptrdiff_t count) {
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up && pump();) {
      if (std::count(result_.out.begin(), result_.out.end(), '\n') >= count) return true;
    }
    return false;
  }

  // True once standard error holds `text`.
  bool waitForError(const std::string& text) {
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up && pump();) {
      if (result_.err.find(text) != std::string::npos) return true;
    }
    return false;
  }

  void signal(int number) { kill(pid_, number); }

  // As `| head -1` does once it has its line: the reading end of standard output goes away.
  void closeOutput() {
    ::close(fds_[0]);
    fds_[0] = -1;
  }

  // Everything to the end of both streams, and how it ended.
  Result finish() {
    const auto give_up = Clock::now() + kGiveUp;
    while (Clock::now() < give_up && pump()) {
    }
    for (int status = 0; pid_ > 0 && Clock::now() < give_up; std::this_thread::sleep_for(10ms)) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return result_;
  }

 private:
  // Reads what has arrived; false once both streams are at their end.
  bool pump() {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) return false;
    if (poll(p, 2, 100) <= 0) return true;
    std::string* texts[2] = {&result_.out, &result_.err};
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || p[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};  // standard output, standard error
  Result result_;
};

Result run(const Args& args, Stdout stdout_to = Stdout::kPipe) {
  return Varno(args, stdout_to).finish();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool startsWith(const std::string& text, const std::string& part) {
  return text.rfind(part, 0) == 0;
}

Frame frameOf(std::uint8_t dest, std::uint8_t source, std::uint8_t code = 0, std::uint8_t param = 0,
              std::array<std::uint8_t, 4> data = {}) {
  CommandRecord r;
  r.dest = dest;
  r.source = source;
  r.code = code;
  r.param = param;
  std::copy(data.begin(), data.end(), r.data_arr);
  Frame f;
  encodeFrame(r, f.data());
  return f;
}

// A device that behaves as `set` makes it.
template <typename F>
sim::DeviceBehaviour device(F set) {
  sim::DeviceBehaviour behaviour;
  set(behaviour);
  return behaviour;
}

class VarnoTool : public ::testing::Test {
 protected:
  // `command --port <the simulator's terminal>` followed by `rest`.
  Args on(const std::string& command, Args rest = {}) {
    rest.insert(rest.begin(), {command, "--port", sim.path()});
    return rest;
  }

  sim::Simulator sim;
};

TEST_F(VarnoTool, SendShowsTheReplyAndPutsTheCommandOnTheLine) {
  sim.setDevice(17, device([](auto& b) {
                  b.status = 5;
                  b.error = 6;
                  b.data = std::array<std::uint8_t, 4>{0x39, 0x30, 0x00, 0x02};
                }));

  Result r = run(on("send", {"--dest", "17", "--source", "30", "--code", "3", "--param", "0x85",
                             "--uint", "4660", "--reply-timeout", kAnswerTimeout}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* line :
       {"outcome 0 reply\n", "dest    30\n", "source  17\n", "code    3\n", "param   133\n",
        "status  5\n", "error   6\n", "data    39 30 00 02  (unsigned 33566777, decimal 123.45)\n",
        "round trip "}) {
    EXPECT_TRUE(contains(r.out, line)) << line << " in\n" << r.out;
  }

  // --json after the command's name works as well as before it.
  r = run(on("send", {"--json", "--dest", "17", "--value", "-1.5", "--decimals", "1",
                      "--reply-timeout", kAnswerTimeout}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["outcome"], 0);
  EXPECT_EQ(j["outcome_text"], "reply");
  EXPECT_EQ(j["reply"]["dest"], 31);  // without the start mark
  EXPECT_EQ(j["reply"]["source"], 17);
  EXPECT_EQ(j["reply"]["status"], 5);
  EXPECT_EQ(j["reply"]["error"], 6);
  EXPECT_EQ(j["reply"]["data"]["bytes"], "39 30 00 02");
  EXPECT_EQ(j["reply"]["data"]["uint"], 33566777u);
  EXPECT_NEAR(j["reply"]["data"]["decimal"].get<double>(), 123.45, 1e-4);
  EXPECT_GE(j["round_trip_ms"].get<double>(), 0.0);

  std::uint8_t word[4];
  varnoFloatToData(-1.5f, 1, word);
  EXPECT_EQ(sim.receivedFrames(),
            (std::vector<Frame>{frameOf(17, 30, 3, 0x85, {0x34, 0x12, 0, 0}),
                                frameOf(17, 31, 0, 0, {word[0], word[1], word[2], word[3]})}));
}

TEST_F(VarnoTool, SendWithoutAValidReplyExitsOne) {
  sim.setDevice(40, device([](auto& b) { b.silent = true; }));
  sim.setDevice(41, device([](auto& b) { b.corrupt_crc = true; }));
  sim.setDevice(42, device([](auto& b) { b.truncate_to = 5; }));

  Result r = run(on("send", {"--dest", "40", "--reply-timeout", "300"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(startsWith(r.out, "outcome 3 no reply\nround trip ")) << r.out;
  EXPECT_EQ(r.err, "") << "the library's diagnostics only with --verbose";

  r = run(on("send", {"--json", "--dest", "40", "--reply-timeout", "300"}));
  EXPECT_EQ(r.exit_code, 1);
  json j = json::parse(r.out);
  EXPECT_EQ(j["outcome"], 3);
  EXPECT_EQ(j["outcome_text"], "no reply");
  EXPECT_TRUE(j["reply"].is_null());
  EXPECT_GE(j["round_trip_ms"].get<double>(), 290.0) << "the time-out given, not the default";

  for (const char* dest : {"41", "42"}) {
    r = run(on("send", {"--json", "--verbose", "--dest", dest, "--reply-timeout", kAnswerTimeout}));
    EXPECT_EQ(r.exit_code, 1) << dest;
    j = json::parse(r.out);  // the diagnostics stay off standard output
    EXPECT_EQ(j["outcome"], 5) << dest;
    EXPECT_EQ(j["outcome_text"], "invalid reply") << dest;
    EXPECT_TRUE(j["reply"].is_null()) << dest;
    EXPECT_TRUE(contains(r.err, "varno: " + sim.path() + ": open at 38400 baud\n")) << r.err;
  }
}

TEST_F(VarnoTool, ScanFindsExactlyTheDevicesThatAnswerForThemselves) {
  for (std::uint8_t address : {3, 17, 100}) sim.setDevice(address);
  sim.setDevice(50, device([](auto& b) { b.silent = true; }));
  sim.setDevice(70, device([](auto& b) { b.corrupt_crc = true; }));
  // A valid reply, but from someone else: neither 60 nor 61 is there.
  const Frame foreign = frameOf(31, 61);
  sim.setDevice(60, device([&](auto& b) {
                  b.raw_reply = std::vector<std::uint8_t>(foreign.begin(), foreign.end());
                }));

  // A short reply time-out keeps the scan quick, but a machine busy enough to stall the
  // simulator's thread for longer turns a device into a silence (and its command is purged by
  // the next one). Such a miss is retried; a device that is not there must never show up.
  const std::vector<int> expected = {3, 17, 100};
  std::vector<int> found;
  for (int attempt = 0; attempt < 3 && found != expected; ++attempt) {
    sim.clearLog();
    const Result r = run({"--json", "scan", "--port", sim.path(), "--reply-timeout", "40"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json j = json::parse(r.out);
    found.clear();
    for (const json& device : j["devices"]) {
      found.push_back(device["address"].get<int>());
      ASSERT_TRUE(std::count(expected.begin(), expected.end(), found.back())) << device;
      EXPECT_EQ(device["reply"]["source"], device["address"]);
    }
    EXPECT_EQ(j["count"], found.size());
    EXPECT_EQ(j["complete"], true);
    // One command to each address, in order (unless one was purged unread, as above).
    const std::vector<Frame> frames = sim.receivedFrames();
    EXPECT_GE(frames.size(), 100u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const int dest = frames[i][0] & 0x7F;
      EXPECT_EQ(frames[i], frameOf(std::uint8_t(dest), 31));
      if (i > 0) {
        EXPECT_GT(dest, frames[i - 1][0] & 0x7F);
      }
    }
  }
  EXPECT_EQ(found, expected);

  // Both ends of the range are tried; source, code and param go out as given. (Devices at both
  // ends: a silence would cost the whole, generous, reply time-out.)
  sim.setDevice(18);
  sim.clearLog();
  Result r = run(on("scan", {"--from", "17", "--to", "18", "--reply-timeout", kAnswerTimeout,
                             "--source", "9", "--code", "4", "--param", "200"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_TRUE(startsWith(out[0], "device  17  source 17  code 4  param 200")) << out[0];
  EXPECT_TRUE(startsWith(out[1], "device  18  source 18  code 4  param 200")) << out[1];
  EXPECT_EQ(out[2], "2 devices found at addresses 17 to 18");
  EXPECT_EQ(sim.receivedFrames(),
            (std::vector<Frame>{frameOf(17, 9, 4, 200), frameOf(18, 9, 4, 200)}));

  // Nobody there is a result, not a failure.
  r = run(on("scan", {"--from", "20", "--to", "30", "--reply-timeout", "10"}));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0 devices found at addresses 20 to 30\n");
}

TEST_F(VarnoTool, PollSendsCountCommandsAndSummarises) {
  sim.setDevice(5);
  const Clock::time_point start = Clock::now();
  Result r = run(on("poll", {"--dest", "5", "--count", "5", "--interval", "100", "--reply-timeout",
                             kAnswerTimeout}));
  EXPECT_GE(Clock::now() - start, 400ms) << "four intervals between five starts, at least";
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 8u) << r.out;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(startsWith(out[i], std::to_string(i + 1) + "  reply  ")) << out[i];
    EXPECT_TRUE(contains(out[i], "source 5")) << out[i];
  }
  EXPECT_EQ(out[5], "sent 5, answers 5");
  EXPECT_EQ(out[6], "failures: none");
  EXPECT_TRUE(startsWith(out[7], "round trip: min ")) << out[7];
  EXPECT_EQ(sim.receivedFrames().size(), 5u);

  // Nobody answers: JSON lines, then the summary; exit 1.
  r = run(on("poll", {"--json", "--dest", "6", "--count", "3", "--interval", "20",
                      "--reply-timeout", "20"}));
  EXPECT_EQ(r.exit_code, 1);
  const std::vector<std::string> json_lines = lines(r.out);
  ASSERT_EQ(json_lines.size(), 4u) << r.out;
  for (int i = 0; i < 3; ++i) {
    const json t = json::parse(json_lines[i]);
    EXPECT_EQ(t["n"], i + 1);
    EXPECT_EQ(t["outcome_text"], "no reply");
  }
  const json summary = json::parse(json_lines[3])["summary"];
  EXPECT_EQ(summary["sent"], 3);
  EXPECT_EQ(summary["answers"], 0);
  EXPECT_EQ(summary["failures"]["no_reply"], 3);
  EXPECT_EQ(summary["failures"]["invalid_reply"], 0);
  EXPECT_TRUE(summary["round_trip_ms"].is_null());
  EXPECT_EQ(summary["interrupted"], false);
}

TEST_F(VarnoTool, PollSummaryCountsEachOutcomeAndTimesOnlyReplies) {
  sim.setDevice(5);
  Varno varno(on("poll", {"--json", "--dest", "5", "--count", "4", "--interval", "200",
                          "--reply-timeout", "1000"}));
  ASSERT_TRUE(varno.waitForLines(2));
  // The device goes quiet between two commands (on a crawling machine, perhaps a little later).
  sim.setDevice(5, device([](auto& b) { b.silent = true; }));
  const Result r = varno.finish();
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 5u) << r.out;
  int replies = 0;
  for (int i = 0; i < 4; ++i) replies += json::parse(out[i])["outcome"] == 0;
  ASSERT_GE(replies, 2);
  ASSERT_LT(replies, 4) << "the device never went quiet; nothing to check";
  const json summary = json::parse(out[4])["summary"];
  EXPECT_EQ(summary["sent"], 4);
  EXPECT_EQ(summary["answers"], replies);
  EXPECT_EQ(summary["failures"]["no_reply"], 4 - replies);
  const json& round_trip = summary["round_trip_ms"];
  EXPECT_LE(round_trip["min"].get<double>(), round_trip["median"].get<double>());
  EXPECT_LE(round_trip["median"].get<double>(), round_trip["max"].get<double>());
  EXPECT_LT(round_trip["max"].get<double>(), 1000.0) << "the silences are not round trips";
}

TEST_F(VarnoTool, InterruptedPollFinishesTheTransactionThenSummarises) {
  // Each reply takes a while, so the interrupt lands in the middle of one.
  sim.setDevice(5, device([](auto& b) { b.delay_ms = 150; }));
  Varno varno(
      on("poll", {"--dest", "5", "--count", "0", "--interval", "0", "--reply-timeout", "5000"}));
  ASSERT_TRUE(varno.waitForLines(2));
  varno.signal(SIGINT);
  const Result r = varno.finish();
  EXPECT_EQ(r.exit_code, 0) << "exits by itself, not by the signal\n" << r.err;
  EXPECT_EQ(r.err, "");

  const std::vector<std::string> out = lines(r.out);
  ASSERT_GE(out.size(), 6u) << r.out;
  const std::size_t sent = out.size() - 4;  // then "interrupted" and three summary lines
  for (std::size_t i = 0; i < sent; ++i) {
    EXPECT_TRUE(startsWith(out[i], std::to_string(i + 1) + "  reply  "))
        << "the interrupted transaction ran to its reply: " << out[i];
  }
  EXPECT_EQ(out[sent], "interrupted");
  EXPECT_EQ(out[sent + 1], "sent " + std::to_string(sent) + ", answers " + std::to_string(sent));
  EXPECT_EQ(sim.receivedFrames().size(), sent) << "nothing goes out after the interrupt";
}

TEST_F(VarnoTool, DecodeTellsFramesFromOtherBytes) {
  Frame frame = frameOf(31, 17, 3, 0x85, {0x39, 0x30, 0x00, 0x02});
  auto decode = [&](Args args) {
    char hex[8];
    for (std::uint8_t b : frame) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      args.push_back(hex);
    }
    return run(args);
  };
  Result r = decode({"decode"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "dest    31\nsource  17\ncode    3\nparam   133\n")) << r.out;
  r = decode({"--json", "decode"});
  EXPECT_EQ(r.exit_code, 0);
  json j = json::parse(r.out);
  EXPECT_EQ(j["valid"], true);
  EXPECT_EQ(j["record"]["source"], 17);
  EXPECT_EQ(j["record"]["data"]["uint"], 33566777u);

  frame[11] ^= 0x01;
  r = decode({"decode"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "not a frame: CRC mismatch\n");
  r = decode({"decode", "--json"});
  EXPECT_EQ(r.exit_code, 1);
  j = json::parse(r.out);
  EXPECT_EQ(j["valid"], false);
  EXPECT_EQ(j["fault"], "CRC mismatch");
  EXPECT_FALSE(j.contains("record"));
}

TEST_F(VarnoTool, BadArgumentsExitTwoWithOneLineAndSendNothing) {
  const std::string port = sim.path();
  const std::vector<Args> cases = {
      {},                                          // no command
      {"send"},                                    // no --port
      {"poll", "--port", ""},                      // an empty one
      {"send", "--port", port, "--dest", "128"},   // address out of range
      {"send", "--port", port, "--baud", "fast"},  // not a number
      {"send", "--port", port, "--baud", "0"},     // no such rate
      {"send", "--port", port, "--bogus"},         // unknown option
      {"send", "--port", port, "--port", port},    // send: one port only
      {"poll", "--port", port, "--port", port},    // the same port twice
      {"poll", "--port", port, "--csv", "--json"},
      {"send", "--port", port, "--word", "01", "02"},           // not a data word
      {"send", "--port", port, "--uint", "1", "--value", "2"},  // two data words
      {"send", "--port", port, "--reply-timeout", "-5"},        // negative
      {"scan", "--port", port, "--to", "128"},
      {"scan", "--port", port, "--from", "20", "--to", "10"},
      {"poll", "--port", port, "--count", "ten"},
      {"poll", "--port", port, "--count", "-1"},
      {"doctor"},                                      // no port
      {"doctor", "--port", port, "/nonexistent/tty"},  // two different ports
  };
  for (const Args& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(startsWith(r.err, "varno: ")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(sim.received().empty()) << "arguments are checked before the port is used";
}

TEST_F(VarnoTool, PortThatDoesNotOpenExitsThreeNamingTheCause) {
  const std::string missing = "/nonexistent/varno-tty";
  for (const char* command : {"send", "scan", "poll"}) {
    SCOPED_TRACE(command);
    for (const bool verbose : {false, true}) {
      Args args = {command, "--port", missing};
      if (verbose) args.insert(args.begin(), "--verbose");
      const Result r = run(args);
      EXPECT_EQ(r.exit_code, 3);
      EXPECT_EQ(r.err, "varno: cannot open " + missing + ": No such port.\n");
      EXPECT_EQ(r.out, "");
    }
  }
  Result r = run({"send", "--port", "/dev/null"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, "varno: cannot open /dev/null: Not a serial port.\n");

  // Held by a poll that opened it by a stable name (a symbolic link, as /dev/serial/by-id/...):
  // the terminal itself is in use, under either name.
  const std::string link = ::testing::TempDir() + "varno-tool-by-id-" + std::to_string(getpid());
  ASSERT_EQ(symlink(sim.path().c_str(), link.c_str()), 0);
  sim.setDevice(5);
  Varno holder({"poll", "--port", link, "--dest", "5", "--count", "0", "--interval", "50",
                "--reply-timeout", kAnswerTimeout});
  ASSERT_TRUE(holder.waitForLines(1));
  for (const std::string& name : {sim.path(), link}) {
    r = run({"send", "--port", name, "--dest", "5"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, "varno: cannot open " + name +
                         ": The port is in use by another program or by another link.\n");
  }
  holder.signal(SIGINT);
  EXPECT_EQ(holder.finish().exit_code, 0);
  unlink(link.c_str());
  // Several ports: none is worked unless all open.
  r = run({"poll", "--port", sim.path(), "--port", missing, "--dest", "5"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, "varno: cannot open " + missing + ": No such port.\n");
  EXPECT_EQ(r.out, "");
}

// ---------------------------------------------------------------------------------------------
// Faults found by trying varno as a careless user would.

TEST(VarnoCareless, HexIsOneBytePerTokenOrOneRun) {
  for (const Args& word : std::vector<Args>{{"39", "30", "00", "02"},
                                            {"0x39", "0x30", "0x00", "0X02"},
                                            {"39:30:00:02"},
                                            {"39 30 00 02"},
                                            {"39300002"},
                                            {"39,30", "0", "2"}}) {
    Args args = {"data"};
    args.insert(args.end(), word.begin(), word.end());
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, 0) << ::testing::PrintToString(word) << r.err;
    EXPECT_TRUE(startsWith(r.out, "data    39 30 00 02  ")) << r.out;
  }
  // Digits glued across separators, 0x in the middle of a token, odd runs, runs among bytes.
  for (const Args& word : std::vector<Args>{{"1", "2", "3", "4", "5", "6", "7", "8"},
                                            {"A0xB", "00", "00", "00"},
                                            {"3-9-3-0-0-0-0-2"},
                                            {"393", "0", "0", "0"},
                                            {"3930000"},
                                            {"0x39300002"},
                                            {"3930", "0002"}}) {
    Args args = {"data"};
    args.insert(args.end(), word.begin(), word.end());
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, 2) << ::testing::PrintToString(word) << r.out;
    EXPECT_EQ(r.out, "");
  }
}

TEST(VarnoCareless, DecimalsShowTheWordsOwnPlaces) {
  Result r = run({"--json", "data", "--value", "-12.345", "--decimals", "3"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains(r.out, "\"decimal\": -12.345,")) << r.out;
  r = run({"data", "87", "D6", "12", "00"});  // 1234567, no places
  EXPECT_TRUE(contains(r.out, "decimal 1234567)")) << r.out;
  r = run({"--json", "data", "01", "00", "00", "02"});
  EXPECT_TRUE(contains(r.out, "\"decimal\": 0.01,")) << r.out;
}

TEST(VarnoCareless, UnknownCommandIsNamed) {
  for (const Args& args : std::vector<Args>{{"sned"}, {"--json", "sned", "--port", "x"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(startsWith(r.err, "varno: unknown command 'sned' (commands: ")) << r.err;
  }
}

TEST(VarnoCareless, OutputThatCannotBeWrittenIsAFailure) {
  for (const Stdout to : {Stdout::kFull, Stdout::kClosed}) {
    const Result r = run({"decode", "81 1F 00 00 00 00 00 00 00 00 00 06"}, to);
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_EQ(r.err, "varno: standard output could not be written\n");
  }
}

termios terminalSettings(const std::string& path) {
  termios t{};
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  ::close(fd);
  return t;
}

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b);
}

// Every way out that a program can catch gives the port its settings back: a stop signal, a
// second Ctrl-C in the middle of a transaction, a reader of the output that went away.
TEST_F(VarnoTool, EveryWayOutRestoresThePortsSettings) {
  sim.setDevice(5);
  sim.setDevice(6, device([](auto& b) { b.silent = true; }));
  const termios before = terminalSettings(sim.path());
  const Args poll = on("poll", {"--verbose", "--baud", "9600", "--dest", "5", "--count", "0",
                                "--interval", "20", "--reply-timeout", kAnswerTimeout});
  for (const int number : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    Varno varno(poll);
    ASSERT_TRUE(varno.waitForLines(1));
    EXPECT_FALSE(sameSettings(terminalSettings(sim.path()), before)) << "nothing to restore";
    varno.signal(number);
    const Result r = varno.finish();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(sameSettings(terminalSettings(sim.path()), before));
  }
  {
    SCOPED_TRACE("a second Ctrl-C while a reply is awaited");
    sim.clearLog();
    Args args = on("poll", {"--verbose", "--baud", "9600", "--dest", "6", "--reply-timeout",
                            "60000", "--write-timeout", "4294967295"});
    Varno varno(args);
    ASSERT_TRUE(sim.waitForFrames(1, kGiveUp));
    varno.signal(SIGINT);
    ASSERT_TRUE(varno.waitForError("once more to end at once"));
    const Clock::time_point second = Clock::now();
    varno.signal(SIGINT);
    const Result r = varno.finish();
    EXPECT_LT(Clock::now() - second, 10s) << "not the 60 s reply time-out";
    EXPECT_NE(r.exit_code, -1);
    EXPECT_TRUE(sameSettings(terminalSettings(sim.path()), before));
  }
  {
    SCOPED_TRACE("the reader of the output went away");
    Varno varno(poll);
    ASSERT_TRUE(varno.waitForLines(1));
    varno.closeOutput();
    const Result r = varno.finish();
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_TRUE(sameSettings(terminalSettings(sim.path()), before));
  }
}

// ---------------------------------------------------------------------------------------------
// Several ports at once.

TEST_F(VarnoTool, ScanAndPollWorkSeveralPortsAtOnceLabelledByPort) {
  sim::Simulator other;
  // The first port's device takes its time: the second port is asked meanwhile, not after it.
  sim.setDevice(3, device([](auto& b) { b.delay_ms = 1500; }));
  other.setDevice(3);
  Varno scan({"--json", "scan", "--port", sim.path(), "--port", other.path(), "--from", "3", "--to",
              "3", "--reply-timeout", kAnswerTimeout});
  ASSERT_TRUE(other.waitForFrames(1, kGiveUp));
  EXPECT_EQ(sim.answersStarted(), 0u) << "the ports were worked one after the other";
  Result r = scan.finish();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json j = json::parse(r.out);
  ASSERT_EQ(j["ports"].size(), 2u) << r.out;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(j["ports"][i]["port"], i == 0 ? sim.path() : other.path());
    EXPECT_EQ(j["ports"][i]["count"], 1);
    EXPECT_EQ(j["ports"][i]["devices"][0]["address"], 3);
  }
  EXPECT_EQ(sim.receivedFrames(), (std::vector<Frame>{frameOf(3, 31)}));
  EXPECT_EQ(other.receivedFrames(), (std::vector<Frame>{frameOf(3, 31)}));

  sim.setDevice(5);
  other.setDevice(5, device([](auto& b) { b.status = 9; }));
  r = run({"poll", "--port", sim.path(), "--port", other.path(), "--dest", "5", "--count", "2",
           "--interval", "10", "--reply-timeout", kAnswerTimeout});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  int sim_lines = 0, other_lines = 0;
  for (const std::string& line : lines(r.out)) {
    if (startsWith(line, sim.path() + "  ")) ++sim_lines;
    if (startsWith(line, other.path() + "  ")) ++other_lines;
    if (contains(line, "  reply  ")) {
      EXPECT_EQ(contains(line, "status 9"), startsWith(line, other.path())) << line;
    }
  }
  EXPECT_EQ(sim_lines, 2 + 3);  // two transactions, three summary lines
  EXPECT_EQ(other_lines, 2 + 3);
}

// ---------------------------------------------------------------------------------------------
// Field tools: monitor, poll's log, ports, doctor.

TEST_F(VarnoTool, MonitorHearsTheBusBothWaysAndNamesEachFault) {
  const std::string tap = sim.openTap();
  sim.setDevice(5, device([](auto& b) {
                  b.status = 3;
                  b.data = std::array<std::uint8_t, 4>{0xC7, 0xCF, 0xFF, 0x03};  // -12.345
                }));
  sim.setDevice(6, device([](auto& b) { b.corrupt_crc = true; }));
  Varno monitor({"--json", "--verbose", "monitor", "--port", tap, "--count", "6"});
  ASSERT_TRUE(monitor.waitForError("listening at 38400 baud"));
  EXPECT_EQ(run(on("send", {"--dest", "5", "--reply-timeout", kAnswerTimeout})).exit_code, 0);
  EXPECT_EQ(run(on("send", {"--dest", "6", "--reply-timeout", kAnswerTimeout})).exit_code, 1);
  sim.send({0x01, 0x02});        // noise; the start mark that follows ends it
  sim.send({0x9F, 0x01, 0x02});  // a frame that stops after three bytes
  const Result r = monitor.finish();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 7u) << r.out;
  std::vector<json> events;
  for (int i = 0; i < 6; ++i) events.push_back(json::parse(out[i]));
  EXPECT_EQ(events[0]["frame"]["dest"], 5);
  EXPECT_EQ(events[0]["frame"]["source"], 31);
  EXPECT_EQ(events[1]["frame"]["dest"], 31);
  EXPECT_EQ(events[1]["frame"]["status"], 3);
  EXPECT_EQ(events[1]["frame"]["data"]["decimal"].dump(), "-12.345");
  EXPECT_EQ(events[2]["frame"]["dest"], 6);
  EXPECT_EQ(events[3]["fault"], "bad CRC");
  EXPECT_EQ(events[4]["fault"], "stray bytes");
  EXPECT_EQ(events[4]["bytes"], "01 02");
  EXPECT_EQ(events[5]["fault"], "cut short");
  EXPECT_EQ(events[5]["bytes"], "9F 01 02");
  for (const json& e : events) {
    const std::string time = e["time"];
    EXPECT_EQ(time.size(), 27u) << time;  // 2026-12-08T05:29:04.123456Z
    EXPECT_EQ(time.back(), 'Z');
  }
  const json summary = json::parse(out[6])["summary"];
  EXPECT_EQ(summary["frames"], 3);
  EXPECT_EQ(summary["faults"], json({{"bad_crc", 1}, {"cut_short", 1}, {"stray_bytes", 1}}));
  EXPECT_EQ(summary["by_address"], json({{"5", 1}, {"6", 1}, {"31", 1}}));
  EXPECT_EQ(sim.receivedFrames().size(), 2u) << "the monitor put nothing on the line";
}

TEST_F(VarnoTool, MonitorStopsOnCtrlCWithASummaryAndRefusesNetworkNames) {
  const std::string tap = sim.openTap();
  sim.setDevice(5);
  Varno monitor({"--verbose", "monitor", "--port", tap});
  ASSERT_TRUE(monitor.waitForError("listening at"));
  EXPECT_EQ(run(on("send", {"--dest", "5", "--reply-timeout", kAnswerTimeout})).exit_code, 0);
  ASSERT_TRUE(monitor.waitForLines(2));
  monitor.signal(SIGINT);
  const Result r = monitor.finish();
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 4u) << r.out;
  EXPECT_TRUE(contains(out[0], "  5 <- 31 ")) << out[0];
  EXPECT_EQ(out[2], "frames 2, faults 0 (bad CRC 0, cut short 0, stray bytes 0)");
  EXPECT_EQ(out[3], "frames per address: 5: 1, 31: 1");

  const Result network = run({"monitor", "--port", "tcp://127.0.0.1:4001"});
  EXPECT_EQ(network.exit_code, 2);
  EXPECT_TRUE(contains(network.err, "local serial port only")) << network.err;
}

// Runs Python's csv module over `text`: the rows as dictionaries.
json parsedCsv(const std::string& text) {
  const std::string base = ::testing::TempDir() + "varno-csv-" + std::to_string(getpid());
  std::FILE* file = std::fopen((base + ".csv").c_str(), "w");
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  const std::string command =
      "python3 -c 'import csv, json, sys; print(json.dumps(list(csv.DictReader(open(sys.argv[1], "
      "newline=\"\")))))' " +
      base + ".csv > " + base + ".json";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(base + ".json");
  const json rows = json::parse(in);
  std::remove((base + ".csv").c_str());
  std::remove((base + ".json").c_str());
  return rows;
}

TEST_F(VarnoTool, PollCsvReadsBackWithPythonsCsvModule) {
  sim.setDevice(5, device([](auto& b) {
                  b.status = 2;
                  b.data = std::array<std::uint8_t, 4>{0xC7, 0xCF, 0xFF, 0x03};
                }));
  // A name with a comma must come back whole.
  const std::string link = ::testing::TempDir() + "varno,csv-" + std::to_string(getpid());
  ASSERT_EQ(symlink(sim.path().c_str(), link.c_str()), 0);
  const Result r = run({"poll", "--csv", "--port", link, "--dest", "5", "--count", "2",
                        "--interval", "10", "--reply-timeout", kAnswerTimeout});
  unlink(link.c_str());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json rows = parsedCsv(r.out);
  ASSERT_EQ(rows.size(), 2u) << r.out;
  for (std::size_t i = 0; i < 2; ++i) {
    const json& row = rows[i];
    EXPECT_EQ(row["port"], link);
    EXPECT_EQ(row["n"], std::to_string(i + 1));
    EXPECT_EQ(row["address"], "5");
    EXPECT_EQ(row["outcome"], "0");
    EXPECT_EQ(row["outcome_text"], "reply");
    EXPECT_EQ(row["source"], "5");
    EXPECT_EQ(row["status"], "2");
    EXPECT_EQ(row["data_bytes"], "C7 CF FF 03");
    EXPECT_EQ(row["data_uint"], "67096519");
    EXPECT_EQ(row["data_decimal"], "-12.345");
    EXPECT_GT(std::stod(row["round_trip_ms"].get<std::string>()), 0.0);
    EXPECT_EQ(row["time"].get<std::string>().size(), 27u);
  }
  // A transaction without a reply has empty reply fields.
  const Result silent =
      run(on("poll", {"--csv", "--dest", "9", "--count", "1", "--reply-timeout", "10"}));
  const json none = parsedCsv(silent.out);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0]["outcome_text"], "no reply");
  EXPECT_EQ(none[0]["source"], "");
  EXPECT_EQ(none[0]["data_decimal"], "");
}

TEST(VarnoPollReconnect, AVanishedPortThatComesBackIsCountedAsAReconnect) {
  auto first = std::make_unique<sim::Simulator>();
  first->setDevice(5);
  const std::string link = ::testing::TempDir() + "varno-reconnect-" + std::to_string(getpid());
  unlink(link.c_str());
  ASSERT_EQ(symlink(first->path().c_str(), link.c_str()), 0);
  Varno poll({"--json", "poll", "--port", link, "--dest", "5", "--count", "0", "--interval", "20",
              "--reconnect", "--reply-timeout", kAnswerTimeout});
  ASSERT_TRUE(poll.waitForLines(2));
  // The adapter is pulled, and comes back under the same stable name on another terminal.
  first->hangUp();
  sim::Simulator second;
  second.setDevice(5);
  const std::string fresh = link + ".new";
  ASSERT_EQ(symlink(second.path().c_str(), fresh.c_str()), 0);
  ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
  ASSERT_TRUE(second.waitForFrames(2, kGiveUp)) << "never reopened";
  poll.signal(SIGINT);
  const Result r = poll.finish();
  unlink(link.c_str());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> out = lines(r.out);
  int reconnects = 0, failures = 0;
  for (const std::string& line : out) {
    const json j = json::parse(line);
    if (j.contains("reconnect")) {
      ++reconnects;
      EXPECT_GE(j["reconnect"]["attempts"], 1);
      EXPECT_GE(j["reconnect"]["gap_ms"].get<double>(), 100.0) << "the first attempt waits";
    } else if (j.contains("outcome") && j["outcome"] != 0) {
      ++failures;
      EXPECT_TRUE(j["outcome"] == 2 || j["outcome"] == 4) << line;
    }
  }
  EXPECT_EQ(reconnects, 1) << r.out;
  EXPECT_EQ(failures, 1) << r.out;
  const json summary = json::parse(out.back())["summary"];
  EXPECT_EQ(summary["reconnects"], 1);
  EXPECT_GE(summary["answers"], 3);
}

TEST(VarnoPorts, ListsAFakeMachinesAdapterInTextAndJson) {
  char pattern[] = "/tmp/varno-tool-ports-XXXXXX";
  const std::string root = mkdtemp(pattern);
  const std::string usb = root + "/sys/devices/usb1/1-2";
  ASSERT_EQ(std::system(("mkdir -p " + usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0 " + root +
                         "/sys/class/tty " + root + "/dev/serial/by-id")
                            .c_str()),
            0);
  for (const auto& [name, text] :
       std::vector<std::pair<std::string, std::string>>{{"idVendor", "0403"},
                                                        {"idProduct", "6015"},
                                                        {"manufacturer", "FTDI"},
                                                        {"product", "FT230X Basic UART"},
                                                        {"serial", "DK0AB12"}}) {
    std::ofstream(usb + "/" + name) << text << "\n";
  }
  ASSERT_EQ(symlink("../../../../../bus/usb-serial/drivers/ftdi_sio",
                    (usb + "/1-2:1.0/ttyUSB0/driver").c_str()),
            0);
  ASSERT_EQ(symlink("../../devices/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0",
                    (root + "/sys/class/tty/ttyUSB0").c_str()),
            0);
  ASSERT_EQ(symlink("../../../ttyUSB0", (usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device").c_str()), 0);
  ASSERT_EQ(
      symlink("../../ttyUSB0",
              (root + "/dev/serial/by-id/usb-FTDI_FT230X_Basic_UART_DK0AB12-if00-port0").c_str()),
      0);
  setenv("VARNO_TEST_PORT_ROOT", root.c_str(), 1);
  Result r = run({"ports"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "/dev/ttyUSB0  ftdi_sio  0403:6015  FTDI FT230X Basic UART  serial DK0AB12\n"
            "    /dev/serial/by-id/usb-FTDI_FT230X_Basic_UART_DK0AB12-if00-port0\n");
  r = run({"--json", "ports"});
  const json j = json::parse(r.out);
  ASSERT_EQ(j.size(), 1u);
  EXPECT_EQ(j[0]["vendor_id"], "0403");
  EXPECT_EQ(j[0]["product_id"], "6015");
  EXPECT_EQ(j[0]["usb"], true);
  EXPECT_EQ(j[0]["stable_path"], "/dev/serial/by-id/usb-FTDI_FT230X_Basic_UART_DK0AB12-if00-port0");
  unsetenv("VARNO_TEST_PORT_ROOT");
  [[maybe_unused]] const int ignored = std::system(("rm -rf " + root).c_str());
}

std::map<std::string, json> findingsOf(const Result& r) {
  std::map<std::string, json> out;
  const json report = json::parse(r.out);
  for (const json& f : report["findings"]) out[f["check"].get<std::string>()] = f;
  return out;
}

TEST_F(VarnoTool, DoctorTellsWhatStandsInTheWayWithoutTouchingTheLine) {
  const termios before = terminalSettings(sim.path());
  Result r = run({"--json", "doctor", sim.path(), "--baud", "250000"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  auto findings = findingsOf(r);
  for (const char* check : {"exists", "access", "in_use", "terminal", "rs485", "baud_rates"}) {
    ASSERT_TRUE(findings.count(check)) << check << r.out;
    EXPECT_EQ(findings[check]["ok"], true) << check;
  }
  EXPECT_TRUE(contains(findings["baud_rates"]["text"], "250000")) << r.out;
  EXPECT_TRUE(sameSettings(terminalSettings(sim.path()), before)) << "the rates tried stay";
  EXPECT_TRUE(sim.received().empty());

  r = run({"doctor", "/nonexistent/tty"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_TRUE(startsWith(r.out, "NOT   exists: /nonexistent/tty does not exist")) << r.out;
  r = run({"--json", "doctor", "/dev/null"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(findingsOf(r)["terminal"]["ok"], false);

  sim.setDevice(5);
  Varno holder(on("poll", {"--dest", "5", "--count", "0", "--interval", "50", "--reply-timeout",
                           kAnswerTimeout}));
  ASSERT_TRUE(holder.waitForLines(1));
  r = run({"--json", "doctor", sim.path()});
  EXPECT_EQ(r.exit_code, 3);
  findings = findingsOf(r);
  EXPECT_EQ(findings["in_use"]["ok"], false);
  EXPECT_TRUE(contains(findings["in_use"]["text"], "(varno)")) << findings["in_use"];
  holder.signal(SIGINT);
  holder.finish();
}

// The doctor names the port as every other command does; the port as an argument of its own, as
// it took it first, stays the same thing.
TEST_F(VarnoTool, DoctorTakesThePortAsPortOrAsItsArgument) {
  const Result positional = run({"--json", "doctor", sim.path()});
  EXPECT_EQ(positional.exit_code, 0) << positional.out << positional.err;
  for (const Args& args : {Args{"--json", "doctor", "--port", sim.path()},
                           Args{"--json", "doctor", sim.path(), "--port", sim.path()}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result r = run(args);
    EXPECT_EQ(r.exit_code, positional.exit_code) << r.err;
    EXPECT_EQ(r.out, positional.out);
  }
  const Result missing = run({"doctor", "--port", "/nonexistent/tty"});
  EXPECT_EQ(missing.exit_code, 3);
  EXPECT_EQ(missing.out, run({"doctor", "/nonexistent/tty"}).out);
}

// Whether the terminal's exclusive flag is set. It belongs to the terminal, not to a descriptor,
// and root (which the tests may run as) is let through it, so the flag itself is looked at.
bool exclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  int on = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &on), 0);
  ::close(fd);
  return on != 0;
}

TEST_F(VarnoTool, MonitorAndDoctorGiveUpTheExclusiveFlag) {
  const std::string tap = sim.openTap();
  for (int round = 0; round < 2; ++round) {  // varno-sim --tap, then the monitor twice
    Varno monitor({"--verbose", "monitor", "--port", tap});
    ASSERT_TRUE(monitor.waitForError("listening at"));
    EXPECT_TRUE(exclusive(tap)) << "held exclusively while it listens";
    monitor.signal(SIGINT);
    EXPECT_EQ(monitor.finish().exit_code, 0);
    EXPECT_FALSE(exclusive(tap)) << "an ordinary user's next open would fail";
  }
  const Result r = run({"doctor", sim.path()});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_FALSE(exclusive(sim.path()));
}

// A program that has a terminal open without any lock, as cat, screen or pyserial do.
class Holder {
 public:
  explicit Holder(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, path.c_str(), O_RDONLY | O_NOCTTY, 0);
    char sleep[] = "sleep", seconds[] = "120";
    char* argv[] = {sleep, seconds, nullptr};
    // posix_spawn returns once the child runs the program, its terminal open.
    EXPECT_EQ(posix_spawnp(&pid_, "sleep", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Holder() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST_F(VarnoTool, AProgramThatHoldsThePortWithoutALockIsNamedAndLeftAlone) {
  const std::string tap = sim.openTap();
  const Holder holder(sim.path());
  const Holder tap_holder(tap);
  const std::string named = std::to_string(holder.pid()) + " (sleep)";

  Result r = run({"--json", "doctor", sim.path()});
  EXPECT_EQ(r.exit_code, 3) << r.out;
  json report = json::parse(r.out);
  EXPECT_EQ(report["usable"], false);
  EXPECT_EQ(report["holders"], json::array({{{"pid", holder.pid()}, {"command", "sleep"}}}));
  auto findings = findingsOf(r);
  EXPECT_EQ(findings["in_use"]["ok"], false);
  EXPECT_TRUE(contains(findings["in_use"].dump(), named)) << r.out;
  for (const char* probe : {"terminal", "rs485", "low_latency", "baud_rates"}) {
    EXPECT_EQ(findings.count(probe), 0u) << probe << " was tried under a program using the port";
  }
  EXPECT_FALSE(exclusive(sim.path()));

  // The same device under another name: a holder is found by the device, not by its path.
  const std::string node = ::testing::TempDir() + "varno-node-" + std::to_string(getpid());
  struct stat st {};
  ASSERT_EQ(stat(sim.path().c_str(), &st), 0);
  if (mknod(node.c_str(), S_IFCHR | 0600, st.st_rdev) == 0) {
    r = run({"doctor", node});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.out, "NOT   in_use: in use by process " + named)) << r.out;
    unlink(node.c_str());
  }

  r = run({"monitor", "--port", tap, "--count", "1"});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_TRUE(contains(r.err, std::to_string(tap_holder.pid()) + " (sleep)")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(exclusive(tap));
}

// Names are bytes: a path that is not UTF-8 still comes out as a JSON string (each byte that is
// not UTF-8 as U+FFFD), and the port is given back as it was found.
TEST_F(VarnoTool, JsonCarriesAPortNameThatIsNotUtf8) {
  sim.setDevice(5);
  const std::string base = ::testing::TempDir() + "varno-";
  const std::string tail = "-" + std::to_string(getpid());
  const std::string link = base + "\xFF\xC3" + tail;
  const std::string shown = base + "\uFFFD\uFFFD" + tail;
  ASSERT_EQ(symlink(sim.path().c_str(), link.c_str()), 0);
  const termios before = terminalSettings(sim.path());

  Result r = run({"--json", "poll", "--port", link, "--dest", "5", "--count", "1",
                  "--reply-timeout", kAnswerTimeout});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> out = lines(r.out);
  ASSERT_EQ(out.size(), 2u) << r.out;
  EXPECT_EQ(json::parse(out[0])["port"], shown);
  EXPECT_EQ(json::parse(out[1])["summary"]["port"], shown);
  EXPECT_TRUE(sameSettings(terminalSettings(sim.path()), before));
  EXPECT_FALSE(exclusive(sim.path()));

  r = run({"--json", "scan", "--port", link, "--from", "5", "--to", "5", "--reply-timeout",
           kAnswerTimeout});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["port"], shown);

  r = run({"--json", "doctor", link});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["port"], shown);
  EXPECT_TRUE(contains(findingsOf(r)["exists"]["text"], shown)) << r.out;
  unlink(link.c_str());
}

}  // namespace
}  // namespace varno::test
