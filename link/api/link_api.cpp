// The plain-C interface: link handles over the same links as the classic functions use, error
// codes and their texts, the log handler, the frame codec. Exceptions end here.
#include <atomic>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <thread>

#include "VarnoDLL.h"
#include "core/connection.h"
#include "core/diagnostic.h"
#include "os/platform.h"
#include "protocol/frame.h"
#include "varno_link.h"
#include "varno_version.h"

struct VarnoLink {
  varno::Link link{varno::kHandlePolicy};
  // Threads inside a call on this handle: the handle is freed only once they have left.
  std::atomic<int> users{0};
};

namespace {

class Use {
 public:
  explicit Use(const VarnoLink* link) : link_(const_cast<VarnoLink*>(link)) {
    link_->users.fetch_add(1);
  }
  ~Use() { link_->users.fetch_sub(1); }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  VarnoLink* link_;
};

void freeLink(void* argument) {
  auto* link = static_cast<VarnoLink*>(argument);
  // A call that began before the close ends promptly once the link is closed.
  while (link->users.load() != 0) std::this_thread::yield();
  delete link;
}

// Every code's text, keyed by the code itself (VARNO_OK is also the valid reply's outcome).
struct CodeText {
  std::int32_t code;
  const char* text;  // nullptr: the platform's own words (permission denied)
};

constexpr CodeText kCodeTexts[] = {
    {VARNO_REPLY, "No error; for a transaction, a valid reply came."},
    {VARNO_WRITE_TIMEOUT, "The write did not complete within the write time-out."},
    {VARNO_WRITE_FAILED, "The write failed."},
    {VARNO_NO_REPLY, "No reply came within the reply time-out."},
    {VARNO_READ_FAILED,
     "The read of the reply failed: the port or its adapter may have gone away."},
    {VARNO_INVALID_REPLY,
     "What came is not a valid frame: corrupt, cut short, or cut by more than 10 ms of silence."},
    {VARNO_E_ARGUMENT,
     "A bad argument: a null pointer, an empty port name, a malformed network port name or a baud "
     "rate of 0."},
    {VARNO_E_NOT_FOUND, "No such port."},
    {VARNO_E_PERMISSION, nullptr},
    {VARNO_E_IN_USE, "The port is in use by another program or by another link."},
    {VARNO_E_NOT_SERIAL, "Not a serial port."},
    {VARNO_E_REFUSED_PURGE, "The driver refused to discard its queues."},
    {VARNO_E_REFUSED_READ_SETTINGS, "The driver would not report the port's current settings."},
    {VARNO_E_REFUSED_QUEUES, "The driver refused the queue sizes."},
    {VARNO_E_REFUSED_LINE_SETTINGS,
     "The driver refused the line settings: the baud rate, 8 data bits, no parity, one stop bit, "
     "or the control of DTR and RTS."},
    {VARNO_E_REFUSED_TIMEOUTS, "The driver refused the read time-outs."},
    {VARNO_E_REFUSED_EVENT_MASK, "The driver refused the event mask."},
    {VARNO_E_REFUSED_CLEAR_ERRORS, "The driver would not clear its error state."},
    {VARNO_E_RESOURCES, "Out of resources: memory, events, file descriptors or threads."},
    {VARNO_E_BUSY, "The link is busy: a transaction is in progress."},
    {VARNO_E_CLOSED, "The link is closed."},
    {VARNO_E_WRITE_START, "The write could not be started."},
    {VARNO_E_SYSTEM, "The system reported an unexpected error while opening the port."},
    {VARNO_E_FRAME_START_MARK, "Not a frame: byte 0 lacks the start mark."},
    {VARNO_E_FRAME_HIGH_BIT, "Not a frame: one of bytes 1 to 10 has bit 7 set."},
    {VARNO_E_FRAME_CRC, "Not a frame: byte 11 is not the CRC of bytes 0 to 10."},
    {VARNO_E_QUEUE_TIMEOUT,
     "The gateway's bus stayed busy for longer than its queue time-out; nothing was sent."},
};

// Each code of varno_link.h has exactly one text: the outcomes 0..5 and the errors down to the
// newest, VARNO_E_QUEUE_TIMEOUT (a new code moves this bound, and the build fails until its text is
// here).
constexpr bool everyCodeOnce() {
  for (std::int32_t code = VARNO_E_QUEUE_TIMEOUT; code <= VARNO_INVALID_REPLY; ++code) {
    int found = 0;
    for (const CodeText& entry : kCodeTexts) found += entry.code == code ? 1 : 0;
    if (found != 1) return false;
  }
  return std::size(kCodeTexts) == VARNO_INVALID_REPLY - VARNO_E_QUEUE_TIMEOUT + 1;
}
static_assert(everyCodeOnce(), "every code of varno_link.h needs exactly one text");

}  // namespace

extern "C" {

VARNO_API int32_t VARNO_CALL varnoLinkOpen(const char* port_name, uint32_t baud_rate,
                                           VarnoLink** link) {
  if (link == nullptr) return VARNO_E_ARGUMENT;
  *link = nullptr;
  if (port_name == nullptr || port_name[0] == '\0' || baud_rate == 0) return VARNO_E_ARGUMENT;
  try {
    auto* made = new VarnoLink;
    varno::OpenOptions options;
    options.rts = varno::RtsControl::ToggleWhereSupported;
    const std::int32_t result = made->link.open(port_name, baud_rate, options);
    if (result != 0) {
      delete made;
      return result;
    }
    *link = made;
    return VARNO_OK;
  } catch (const std::bad_alloc&) {
    return VARNO_E_RESOURCES;
  } catch (...) {
    return VARNO_E_SYSTEM;
  }
}

VARNO_API void VARNO_CALL varnoLinkClose(VarnoLink* link) {
  if (link == nullptr) return;
  // From the link's own handler, or with a handler that would not return, the worker frees the
  // handle as it leaves.
  if (!link->link.close(&freeLink, link)) freeLink(link);
}

VARNO_API int32_t VARNO_CALL varnoLinkState(const VarnoLink* link) {
  if (link == nullptr) return VARNO_E_ARGUMENT;
  return link->link.state();
}

VARNO_API int32_t VARNO_CALL varnoLinkSend(VarnoLink* link, const VarnoFrame* command,
                                           uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                           VarnoReplyHandler handler, void* context) {
  if (link == nullptr || command == nullptr || handler == nullptr) return VARNO_E_ARGUMENT;
  const Use use(link);
  return link->link.send(varno::recordFromFrame(*command), write_timeout_ms, reply_timeout_ms,
                         handler, context);
}

VARNO_API int32_t VARNO_CALL varnoLinkTransact(VarnoLink* link, const VarnoFrame* command,
                                               uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                               VarnoFrame* reply) {
  if (link == nullptr || command == nullptr || reply == nullptr) return VARNO_E_ARGUMENT;
  const Use use(link);
  return link->link.transact(varno::recordFromFrame(*command), write_timeout_ms, reply_timeout_ms,
                             *reply);
}

VARNO_API const char* VARNO_CALL varnoErrorText(int32_t code) {
  if (code == VARNO_E_PERMISSION) return varno::permissionDeniedText();
  for (const CodeText& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Unknown error code.";
}

VARNO_API void VARNO_CALL varnoSetLogHandler(VarnoLogHandler handler, void* context) {
  varno::setLogHandler(handler, context);
}

VARNO_API bool VARNO_CALL varnoOpenSerialPortA(const char* port_name, uint32_t baud_rate) {
  try {
    return varno::openConnection(port_name == nullptr ? std::string() : std::string(port_name),
                                 baud_rate);
  } catch (...) {
    return false;
  }
}

VARNO_API const char* VARNO_CALL varnoVersion(void) {
  return VARNO_VERSION_STRING;
}

VARNO_API int32_t VARNO_CALL varnoFrameEncode(const VarnoFrame* frame, uint8_t* bytes12) {
  if (frame == nullptr || bytes12 == nullptr) return VARNO_E_ARGUMENT;
  varno::encodeFrame(varno::recordFromFrame(*frame), bytes12);
  return VARNO_OK;
}

VARNO_API int32_t VARNO_CALL varnoFrameDecode(const uint8_t* bytes12, VarnoFrame* frame) {
  if (frame == nullptr || bytes12 == nullptr) return VARNO_E_ARGUMENT;
  switch (varno::checkFrame(bytes12)) {
    case varno::FrameFault::kNoStartMark:
      return VARNO_E_FRAME_START_MARK;
    case varno::FrameFault::kHighBitInBody:
      return VARNO_E_FRAME_HIGH_BIT;
    case varno::FrameFault::kBadCrc:
      return VARNO_E_FRAME_CRC;
    case varno::FrameFault::kNone:
      break;
  }
  varno::CommandRecord r;
  varno::decodeFrame(bytes12, r);
  varno::frameFromRecord(r, *frame);
  return VARNO_OK;
}

}  // extern "C"
