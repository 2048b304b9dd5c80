// The varno-sim program itself, run as a child process.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "sim_test_support.h"

extern char** environ;

namespace varno::sim {
namespace {

using namespace varno::sim::testing;
using std::chrono::milliseconds;

// Sanitizer builds start slowly on a busy machine.
constexpr milliseconds kStartup(20000);

// varno-sim with its standard output and error piped back.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    args.insert(args.begin(), VARNO_SIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~Program() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    ::close(out_);
    ::close(err_);
  }

  // Up to the end of the first line, or everything to end of file.
  std::string readLine() { return drain(out_, true); }
  std::string readOutput() { return drain(out_, false); }
  std::string readErrors() { return drain(err_, false); }

  void signal(int number) { kill(pid_, number); }

  // The exit code, or -1 if it did not exit normally and in time.
  int exitCode() {
    for (const Clock::time_point give_up = Clock::now() + kStartup; Clock::now() < give_up;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
  }

 private:
  static std::string drain(int fd, bool one_line) {
    std::string text;
    for (const Clock::time_point give_up = Clock::now() + kStartup; Clock::now() < give_up;) {
      pollfd p{fd, POLLIN, 0};
      char c;
      if (poll(&p, 1, 100) <= 0) continue;
      if (::read(fd, &c, 1) != 1 || (one_line && c == '\n')) break;
      text += c;
    }
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

std::string tempDirectory() {
  std::string pattern = ::testing::TempDir() + "varno-sim-XXXXXX";
  EXPECT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
  return pattern;
}

std::string linkTarget(const std::string& link) {
  char buffer[4096];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

TEST(SimProgram, ServesItsDevicesAndCleansUpOnSigterm) {
  const std::string dir = tempDirectory();
  const std::string link = dir + "/line";
  ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);  // a stale link is replaced

  Program sim({"--verbose", "--link", link, "1:status=0x42", "2:silent"});
  const std::string path = sim.readLine();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(linkTarget(link), path);
  {
    Terminal line(link);  // through the link, as a user would
    const CommandRecord cmd = command(1, 0x10, 0x05, 0x06, {1, 2, 3, 4});
    line.write(encode(cmd));
    CommandRecord want = reply(cmd, 1);
    want.status = 0x42;
    EXPECT_EQ(line.readBytes(12, kStartup), encode(want));
  }
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_EQ(access(link.c_str(), F_OK), -1);
  EXPECT_NE(sim.readErrors().find("device 1 answers"), std::string::npos);
  rmdir(dir.c_str());
}

TEST(SimProgram, BadArgumentsExitWithTwoAndOneLine) {
  const std::string dir = tempDirectory();
  const std::string file = dir + "/file";
  std::ofstream(file) << "keep me";
  const std::vector<std::vector<std::string>> cases = {
      {},                       // no device
      {"128"},                  // address out of range
      {"1:bogus"},              // unknown option
      {"1", "1:silent"},        // one address twice
      {"--baud", "fast", "1"},  // not a number
      {"--link", file, "1"}};   // only a symbolic link may be replaced
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Program sim(args);
    EXPECT_EQ(sim.exitCode(), 2);
    const std::string errors = sim.readErrors();
    EXPECT_EQ(errors.rfind("varno-sim: ", 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  }
  std::string content;
  std::getline(std::ifstream(file), content);
  EXPECT_EQ(content, "keep me");
  unlink(file.c_str());
  rmdir(dir.c_str());
}

TEST(SimProgram, HelpExplainsTheDevicesAndExitsZero) {
  Program sim({"--help"});
  const std::string help = sim.readOutput();
  EXPECT_EQ(sim.exitCode(), 0);
  for (const char* topic : {"DEVICE", "split=", "raw=", "hangup=", "--baud", "--link", "Pacing"}) {
    EXPECT_NE(help.find(topic), std::string::npos) << topic;
  }
}

}  // namespace
}  // namespace varno::sim
