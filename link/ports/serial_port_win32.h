// The Windows port's settings, kept apart from the port so that the tests can hold them to the
// exact values the line needs without a device.
#ifndef VARNO_SERIAL_SERIAL_PORT_WIN32_H
#define VARNO_SERIAL_SERIAL_PORT_WIN32_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "ports/serial_port.h"

namespace varno {

// The line settings applied at open: built from nothing, never from what the port had, so that no
// setting of an earlier user of the port survives.
DCB makeLineSettingsDcb(const PortSettings& settings);

// The inter-byte read time-out and nothing else: reads wait for their first byte without limit
// and writes are timed by the caller.
COMMTIMEOUTS makeCommTimeouts(const PortSettings& settings);

}  // namespace varno

#endif  // VARNO_SERIAL_SERIAL_PORT_WIN32_H
