// The bytes-only listener of one bus (raw_listen): for clients that can only write frames and
// read frames (pyserial's socket://, the library's tcp://). Each 12-byte command frame is one
// request; the answer is the reply frame, or nothing.
#ifndef VARNO_GATEWAY_RAW_LISTENER_H
#define VARNO_GATEWAY_RAW_LISTENER_H

#include <memory>

#include "bus.h"
#include "connection.h"

namespace varno::gw {

std::unique_ptr<Listener> makeRawListener(EventLoop& loop, const AllowList& allow, Bus& bus);

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_RAW_LISTENER_H
