// VarnoDLL: a serial-line link to addressed devices.
//
// The classic interface: one process-wide connection to one serial port. Every exchange on the
// line is one 12-byte frame; a command goes out, one reply (or the reason there is none) comes
// back through a callback that runs on the library's worker thread. varno_link.h has the plain-C
// interface beside it, for hosts of any language and for several ports at once.
//
// All functions have C linkage, the C calling convention and undecorated names. Diagnostics are
// short fixed texts written to the standard error stream (or to a handler: varnoSetLogHandler).
#ifndef VARNO_DLL_H
#define VARNO_DLL_H

#include <cstdint>
#include <string>

// The export and calling-convention macros, and the plain-C interface that any host can call
// (several links, a blocking transaction, error codes, a log handler).
#include "varno_link.h"

extern "C" {

// The outcome of a transaction, passed to the callback as `error_status`.
//   0  a valid reply frame was received; the arguments are the reply's fields, `dest` with bit 7
//      (the start mark) still set
//   1  the write was not reported complete within the write time-out
//   2  the write finished with an error
//   3  no reply byte arrived within the reply time-out
//   4  the read of the reply did not start or finished with an error
//   5  the bytes read do not form a valid frame
// For 1 to 5 the arguments are the request's, addresses swapped: `dest` is the source given to
// varnoSendCommand, `source` its destination, `status` and `error` 0.
// On a gateway's bus ("varno://HOST:PORT/BUS", see varno_link.h) also
//  -21 VARNO_E_QUEUE_TIMEOUT: the bus stayed busy too long and nothing was sent (arguments as
//      for 1 to 5).
//
// Runs on the library's worker thread. `data_arr` points at 4 bytes owned by the library, valid
// until the callback returns. The callback must not open or close the port; a varnoSendCommand
// made from inside it returns 1.
typedef void(VARNO_CALL* CallBackFunc)(uint8_t dest, uint8_t source, uint8_t code, uint8_t param,
                                       uint8_t status, uint8_t error, uint8_t* data_arr,
                                       int32_t error_status);

// Opens `port_name` at `baud_rate` (8 data bits, no parity, one stop bit, no flow control, DTR
// off, RTS only while transmitting) and starts the worker thread. Any open connection is closed
// first. Windows: "COM1" opens \\.\COM1. Linux: a name containing '/' is a path; any other name
// is looked up under /dev ("ttyUSB0" opens /dev/ttyUSB0). Network names as varnoLinkOpen takes
// them (tcp://, rfc2217://, varno://).
// Returns true when the connection is open. An empty name returns false at once and leaves an
// open connection alone; every other failure logs its reason and leaves the connection closed.
// Must not overlap varnoCloseSerialPort, another open, or a varnoSendCommand that has not yet
// reached its wait; never call it from the callback.
VARNO_API bool VARNO_CALL varnoOpenSerialPort(const std::string& port_name,
                                              const uint32_t& baud_rate);

// Stops the worker (waiting up to about a second for it), restores the port's previous settings
// and releases everything. Does nothing when no connection is open. Same thread rules as the
// open (a close that overlaps an open is made to wait for it). A transaction that the worker has
// not picked up yet, or whose write is under way and then completes, ends without a callback; a
// write that then times out or fails still calls back (1 or 2); a transaction waiting for its
// reply ends with its callback. A worker still busy after about a second (a callback that does
// not return) is given up: it calls nothing more once this has returned, except that a callback
// already being dispatched at that moment may still start.
VARNO_API void VARNO_CALL varnoCloseSerialPort();

// The connection's state: 0 closed, 1 idle, 2 awaiting a reply, 3 sending. Any thread, any time.
VARNO_API int32_t VARNO_CALL varnoGetSerialPortCurrentState();

// Sends one command: `dest`, `source` and `code` go out as their low 7 bits, `param` and the 4
// data bytes whole (status and error are 0 in a command). The data word is copied before the
// call returns. The outcome reaches `callback` on the worker thread (with no callback the reply
// is not read and "\n CallBackFunc not defined" is logged). With `wait` the call returns only
// after the callback has returned, or once the connection is closed.
// `write_timeout_ms` of 4294967295 waits for the write without limit.
// Returns 0 when the command is on its way (with `wait`: done), 1 when the connection is not idle
// (not open, a transaction in progress, or another thread in the middle of a send: nothing goes
// out), 2 for a null `data_arr`, 4 when the write did not start. A send that returned 0 gets
// exactly one callback unless a close comes in between (see varnoCloseSerialPort). Meant to be
// called from one thread at a time.
VARNO_API int32_t VARNO_CALL varnoSendCommand(uint8_t dest, uint8_t source, uint8_t code,
                                              uint8_t param, const uint8_t* data_arr,
                                              uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                              CallBackFunc callback, bool wait);

// The data word as an unsigned 32-bit integer, least significant byte first. 0 for a null pointer.
VARNO_API uint32_t VARNO_CALL varnoDataToUInt(const uint8_t* data_arr);

// Stores `value` in the data word, least significant byte first. False for a null pointer.
VARNO_API bool VARNO_CALL varnoUIntToData(uint32_t value, uint8_t* data_arr);

// The data word as a decimal: bytes 0..2 a 24-bit two's-complement mantissa (least significant
// byte first), byte 3 the number of decimal places. 0.0 for a null pointer.
VARNO_API float VARNO_CALL varnoDataToFloat(const uint8_t* data_arr);

// Stores `value` as a decimal with `decimals` places (more than 3 are stored as 3), rounding half
// away from zero; only the low 24 bits of the scaled value are kept, and a value with no integer
// form (NaN, infinities, huge values) stores a mantissa of 0. False for a null pointer.
VARNO_API bool VARNO_CALL varnoFloatToData(float value, uint8_t decimals, uint8_t* data_arr);

}  // extern "C"

#endif  // VARNO_DLL_H
