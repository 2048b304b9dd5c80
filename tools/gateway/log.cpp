#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace varno::gw {
namespace {

std::atomic<bool> g_journal{false};
std::atomic<bool> g_verbose{false};
std::mutex g_mutex;

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connected; a stderr that was
// redirected since is not the journal any more.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  return dev == static_cast<unsigned long long>(st.st_dev) &&
         ino == static_cast<unsigned long long>(st.st_ino);
}

const char* word(Level level) {
  switch (level) {
    case Level::kError:
      return "error";
    case Level::kWarning:
      return "warning";
    case Level::kInfo:
      return "info";
    default:
      return "debug";
  }
}

}  // namespace

void logInit(bool verbose) {
  g_journal = stderrIsJournal();
  g_verbose = verbose;
}

void log(Level level, const std::string& text) {
  if (level == Level::kDebug && !g_verbose) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_journal) {
    std::fprintf(stderr, "<%d>%s\n", static_cast<int>(level), text.c_str());
  } else {
    std::fprintf(stderr, "varno-gateway: %s: %s\n", word(level), text.c_str());
  }
  std::fflush(stderr);
}

}  // namespace varno::gw
