// How varno stops, and how it writes its results.
//
// SIGINT, SIGTERM and SIGHUP are taken by one thread of their own (every other thread, the
// library's workers included, has them blocked). The first asks every command to stop at its
// next step: a transaction under way is let finish, then the links are closed, which gives each
// port its previous settings back. The second closes every link at once (a transaction under way
// ends unfinished) and the command ends as soon as its threads notice. SIGPIPE is ignored: a
// write to standard output that fails (a closed pipe, a full disk) stops the command the same way
// as the first signal, and varno exits with kExitOutput.
#ifndef VARNO_TOOL_RUN_CONTROL_H
#define VARNO_TOOL_RUN_CONTROL_H

#include <cstdint>
#include <string>

#include "varno_link.h"

namespace varno::tool {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNoReply = 1;  // also: decode of bytes that are not a frame
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCannotOpen = 3;
inline constexpr int kExitOutput = 4;  // standard output could not be written

// Blocks the stop signals in the calling thread (call it first in main, before any other thread
// exists) and starts the thread that takes them.
void startRunControl();

// With --verbose, the first stop signal is acknowledged on stderr.
void setStopNotice(bool verbose);

// A stop was asked for: by a signal, or by a failed write.
bool stopRequested();
// One signal, or a failed write: the transaction under way may finish.
void requestStop();
// Sleeps until `ms` milliseconds have passed (true) or a stop was asked for (false).
bool sleepMs(std::uint32_t ms);

// Standard output, a whole line at a time from any thread (a line feed is added and the line
// flushed). A failed write asks for a stop; outputFailed() then says so.
void printLine(const std::string& line);
// Text as it is (no line feed added), flushed.
void printText(const std::string& text);
bool outputFailed();
// Flushes standard output; false (and outputFailed()) when anything written to it was lost.
bool finishOutput();

// One link to one port, which a second stop signal can close under a thread that is inside a
// transaction on it.
class PortLink {
 public:
  PortLink() = default;
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  // varnoLinkOpen's result.
  std::int32_t open(const std::string& port, std::uint32_t baud);
  bool isOpen() const;
  // varnoLinkTransact's result; VARNO_E_CLOSED once the link was closed by a second signal.
  std::int32_t transact(const VarnoFrame& command, std::uint32_t write_timeout_ms,
                        std::uint32_t reply_timeout_ms, VarnoFrame& reply);
  void close();

 private:
  friend void closeAllLinksNow();
  VarnoLink* link_ = nullptr;
  bool in_call_ = false;
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_RUN_CONTROL_H
