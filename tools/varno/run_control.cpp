#include "run_control.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

namespace varno::tool {

void closeAllLinksNow();

namespace {

struct Control {
  std::mutex mutex;
  std::condition_variable changed;
  std::set<PortLink*> links;
  bool stop = false;
  bool closing = false;  // a second signal: links are closed under their users
  bool output_failed = false;
  std::mutex output;
};

// Never destroyed: the signal thread outlives main.
Control& control() {
  static Control* const instance = new Control;
  return *instance;
}

std::atomic<bool> g_stop{false};
std::atomic<bool> g_notice{false};

void signalThread(sigset_t signals) {
  for (int taken = 0;;) {
    int number = 0;
    if (sigwait(&signals, &number) != 0) continue;
    if (++taken == 1) {
      if (g_notice.load()) {
        std::fprintf(stderr,
                     "varno: %s: stopping after the transaction under way (once more to end at "
                     "once)\n",
                     strsignal(number));
      }
      requestStop();
    } else {
      closeAllLinksNow();
    }
  }
}

}  // namespace

void startRunControl() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(signalThread, signals).detach();
}

void setStopNotice(bool verbose) {
  g_notice.store(verbose);
}

bool stopRequested() {
  return g_stop.load();
}

void requestStop() {
  Control& c = control();
  {
    std::lock_guard lock(c.mutex);
    c.stop = true;
    g_stop.store(true);
  }
  c.changed.notify_all();
}

bool sleepMs(std::uint32_t ms) {
  Control& c = control();
  std::unique_lock lock(c.mutex);
  return !c.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return c.stop; });
}

namespace {

void write(const std::string& text) {
  Control& c = control();
  std::lock_guard lock(c.output);
  if (c.output_failed) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    c.output_failed = true;
    requestStop();
  }
}

}  // namespace

void printLine(const std::string& line) {
  write(line + "\n");
}

void printText(const std::string& text) {
  write(text);
}

bool outputFailed() {
  Control& c = control();
  std::lock_guard lock(c.output);
  return c.output_failed;
}

bool finishOutput() {
  Control& c = control();
  std::lock_guard lock(c.output);
  std::cout.flush();
  if (!std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout)) c.output_failed = true;
  return !c.output_failed;
}

// The second signal. A link whose user is between its check and its call into the library (or on
// its way out of one) is not closed until the call is visibly under way or over: closing it in
// that moment would free a handle the user is about to pass in.
void closeAllLinksNow() {
  Control& c = control();
  std::unique_lock lock(c.mutex);
  c.stop = true;
  c.closing = true;
  g_stop.store(true);
  c.changed.notify_all();
  // Links may leave the set while the lock is released in the wait: look again each time.
  while (!c.links.empty()) {
    PortLink* link = *c.links.begin();
    if (link->link_ != nullptr && link->in_call_ &&
        varnoLinkState(link->link_) == VARNO_STATE_IDLE) {
      c.changed.wait_for(lock, std::chrono::milliseconds(1));
      continue;
    }
    if (link->link_ != nullptr) varnoLinkClose(link->link_);
    link->link_ = nullptr;
    c.links.erase(link);
  }
}

PortLink::~PortLink() {
  close();
}

std::int32_t PortLink::open(const std::string& port, std::uint32_t baud) {
  close();
  Control& c = control();
  {
    std::lock_guard lock(c.mutex);
    if (c.closing) return VARNO_E_CLOSED;
  }
  VarnoLink* link = nullptr;
  const std::int32_t result = varnoLinkOpen(port.c_str(), baud, &link);
  if (result != VARNO_OK) return result;
  std::lock_guard lock(c.mutex);
  if (c.closing) {
    varnoLinkClose(link);
    return VARNO_E_CLOSED;
  }
  link_ = link;
  c.links.insert(this);
  return VARNO_OK;
}

bool PortLink::isOpen() const {
  std::lock_guard lock(control().mutex);
  return link_ != nullptr;
}

std::int32_t PortLink::transact(const VarnoFrame& command, std::uint32_t write_timeout_ms,
                                std::uint32_t reply_timeout_ms, VarnoFrame& reply) {
  Control& c = control();
  VarnoLink* link;
  {
    std::lock_guard lock(c.mutex);
    if (link_ == nullptr) return VARNO_E_CLOSED;
    link = link_;
    in_call_ = true;
  }
  const std::int32_t result =
      varnoLinkTransact(link, &command, write_timeout_ms, reply_timeout_ms, &reply);
  {
    std::lock_guard lock(c.mutex);
    in_call_ = false;
  }
  c.changed.notify_all();
  return result;
}

void PortLink::close() {
  Control& c = control();
  VarnoLink* link;
  {
    std::lock_guard lock(c.mutex);
    c.links.erase(this);
    link = link_;
    link_ = nullptr;
  }
  if (link != nullptr) varnoLinkClose(link);
}

}  // namespace varno::tool
