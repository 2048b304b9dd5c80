/* VarnoDLL's plain-C interface: any number of links, one per port, each with its own worker
 * thread; a blocking transaction; error codes with texts; a log handler.
 *
 * Compiles as C99 and as C++. Every function has C linkage, the C calling convention
 * (VARNO_CALL: __cdecl on Windows) and an undecorated name. Nothing is passed by value but
 * integers and pointers, nothing crosses but fixed-width integers, bytes and the VarnoFrame
 * record, and nothing is allocated on one side and freed on the other: any host that can call a
 * C function can use it (C, C++ of any compiler, C#, Python's ctypes, LabVIEW, Delphi).
 *
 * A transaction is one 12-byte frame out and one back. Its outcome is one of
 *   0  VARNO_REPLY          a valid reply frame came; the frame is the reply, `dest` with bit 7
 *                           (the start mark) still set
 *   1  VARNO_WRITE_TIMEOUT  the write was not reported complete within the write time-out
 *   2  VARNO_WRITE_FAILED   the write finished with an error
 *   3  VARNO_NO_REPLY       no reply byte arrived within the reply time-out (counted from the end
 *                           of the write)
 *   4  VARNO_READ_FAILED    the read of the reply failed (the port or adapter went away)
 *   5  VARNO_INVALID_REPLY  what came is not a valid frame: corrupt, cut short, or cut by more
 *                           than 10 ms of silence
 * For 1 to 5 the frame is the command with its addresses swapped (`dest` the command's source,
 * `source` its destination), `status` and `error` 0, the command's data word.
 * On a gateway's bus (varno://, below) the outcome is what happened on the bus, as the gateway
 * reports it, or
 *  -21 VARNO_E_QUEUE_TIMEOUT   the bus stayed busy with other clients' transactions for longer
 *                              than the gateway's queue time-out: nothing was sent (the frame as
 *                              for 1 to 5)
 *
 * Errors are negative codes (below); varnoErrorText gives each a short English sentence.
 */
#ifndef VARNO_LINK_H
#define VARNO_LINK_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VARNO_DLL_EXPORTS)
#define VARNO_API __declspec(dllexport)
#else
#define VARNO_API __declspec(dllimport)
#endif
#define VARNO_CALL __cdecl
#else
#define VARNO_API __attribute__((visibility("default")))
#define VARNO_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Transaction outcomes. */
#define VARNO_REPLY 0
#define VARNO_WRITE_TIMEOUT 1
#define VARNO_WRITE_FAILED 2
#define VARNO_NO_REPLY 3
#define VARNO_READ_FAILED 4
#define VARNO_INVALID_REPLY 5

/* Error codes. Never reused, never renumbered. */
#define VARNO_OK 0
#define VARNO_E_ARGUMENT (-1)              /* a null pointer, a bad or empty name, a bad value */
#define VARNO_E_NOT_FOUND (-2)             /* no such port */
#define VARNO_E_PERMISSION (-3)            /* the system denied access to the port */
#define VARNO_E_IN_USE (-4)                /* another link or program holds the port */
#define VARNO_E_NOT_SERIAL (-5)            /* the name is not a serial port */
#define VARNO_E_REFUSED_PURGE (-6)         /* the driver would not discard its queues */
#define VARNO_E_REFUSED_READ_SETTINGS (-7) /* ...would not report the current settings */
#define VARNO_E_REFUSED_QUEUES (-8)        /* ...refused the queue sizes */
#define VARNO_E_REFUSED_LINE_SETTINGS (-9) /* ...refused the baud rate, 8N1 or DTR/RTS */
#define VARNO_E_REFUSED_TIMEOUTS (-10)     /* ...refused the read time-outs */
#define VARNO_E_REFUSED_EVENT_MASK (-11)   /* ...refused the event mask */
#define VARNO_E_REFUSED_CLEAR_ERRORS (-12) /* ...would not clear its error state */
#define VARNO_E_RESOURCES (-13)            /* out of memory, events, descriptors or threads */
#define VARNO_E_BUSY (-14)                 /* a transaction is in progress on the link */
#define VARNO_E_CLOSED (-15)               /* the link is closed, or was closed meanwhile */
#define VARNO_E_WRITE_START (-16)          /* the write could not be started */
#define VARNO_E_SYSTEM (-17)               /* another error of the system while opening */
#define VARNO_E_FRAME_START_MARK (-18)     /* byte 0 lacks the start mark (bit 7) */
#define VARNO_E_FRAME_HIGH_BIT (-19)       /* one of bytes 1..10 has bit 7 set */
#define VARNO_E_FRAME_CRC (-20)            /* byte 11 is not the CRC of bytes 0..10 */
#define VARNO_E_QUEUE_TIMEOUT (-21)        /* varno://: the bus stayed busy too long */

/* Link states, as varnoLinkState reports them (the same as varnoGetSerialPortCurrentState). */
#define VARNO_STATE_CLOSED 0
#define VARNO_STATE_IDLE 1
#define VARNO_STATE_AWAITING_REPLY 2
#define VARNO_STATE_SENDING 3

/* An open link to one port. Opaque; made by varnoLinkOpen, ended by varnoLinkClose. */
typedef struct VarnoLink VarnoLink;

/* The content of a frame. In a command, bit 7 of `dest`, `source` and `code` is not sent, and
 * `status` and `error` are sent as 0. */
typedef struct VarnoFrame {
  uint8_t dest, source, code, param, status, error;
  uint8_t data[4];
} VarnoFrame;

/* Receives a transaction's outcome on the link's worker thread: `reply` as described at the top
 * (valid until the handler returns), `error_status` 0..5 (or VARNO_E_QUEUE_TIMEOUT on a
 * gateway's bus), or VARNO_E_CLOSED when the link was closed before the transaction could end.
 * The link is idle again by the time its handler runs: the handler (or a thread it wakes) may
 * start the next transaction at once. A handler may also
 * close its own link (the close then returns at once, and the link ends after the handler). */
typedef void(VARNO_CALL* VarnoReplyHandler)(void* context, const VarnoFrame* reply,
                                            int32_t error_status);

/* Receives one diagnostic text, exactly as the library would write it to the standard error
 * stream (most begin with a line feed). Called on whichever thread logs. */
typedef void(VARNO_CALL* VarnoLogHandler)(void* context, const char* text);

/* Opens `port_name` at `baud_rate` (any rate the driver takes; 8 data bits, no parity, one stop
 * bit, no flow control, DTR off, RTS only while transmitting) and starts the link's worker.
 * Port names: Windows "COM3" (opens \\.\COM3); Linux a path ("/dev/ttyUSB0") or a name under
 * /dev ("ttyUSB0").
 * A serial line behind a device server (ser2net, an Ethernet gateway), on any platform:
 *   "tcp://HOST:PORT[?OPTIONS]"      raw TCP: bytes pass unchanged; the server sets the line, and
 *                                    `baud_rate` is not used (it must still not be 0)
 *   "rfc2217://HOST:PORT[?OPTIONS]"  telnet with COM-PORT-OPTION (RFC 2217): the open agrees on
 *                                    BINARY both ways and COM-PORT-OPTION and sets DTR off, no
 *                                    flow control, `baud_rate`, 8N1; every answer must confirm
 *                                    the value asked for (a server that never answers for DTR
 *                                    is let be); the server's buffers are discarded
 *                                    (PURGE-DATA) after the open and after a transaction
 *                                    that did not end cleanly
 * HOST is a name, an IPv4 address or an IPv6 address in brackets ("[::1]"); PORT 1..65535; the
 * scheme in any case; at most 512 characters in all. OPTIONS, NAME=MILLISECONDS joined by '&':
 *   connect_timeout      name lookup and connect, every address of the name (1..600000; 5000)
 *   negotiation_timeout  rfc2217 only: each wait for the server's answers, and how long a
 *                        session the server ends before the line is set is opened again
 *                        (1..600000; 3000)
 *   inter_byte_timeout   silence that ends a reply being read (1..60000; 50, where a serial
 *                        port has 10: a network delivers a reply in pieces); a reply still ends
 *                        at once on its 12th byte
 * A malformed name (a missing or out-of-range port, an unknown, repeated or bad option) is
 * VARNO_E_ARGUMENT; a host that cannot be found or reached, or a connect that is refused or not
 * done within connect_timeout, is VARNO_E_NOT_FOUND; a server that does not agree or answer is
 * VARNO_E_REFUSED_LINE_SETTINGS; one that still ends every session before the line is set is
 * VARNO_E_IN_USE. A connection that drops, or whose telnet cannot be followed (a sub-negotiation
 * past 4 KiB), ends the transaction under way at once with VARNO_READ_FAILED or
 * VARNO_WRITE_FAILED, as does every later one on that link: close it and open it again.
 * A bus that a gateway (varno-gateway) owns and shares among its clients:
 *   "varno://HOST:PORT/BUS[?connect_timeout=MS]"
 * HOST, PORT and connect_timeout as above (connect_timeout also bounds the wait for the
 * gateway's greeting); BUS is the gateway's name for the bus, 1..64 printable characters
 * without spaces or '?'. Each transaction goes to the gateway whole, with its id and both
 * time-outs, which the gateway applies on the bus; the outcome is the gateway's. The bus runs at
 * the gateway's baud rate: `baud_rate` is not used (it must still not be 0). A bus the gateway
 * does not have is VARNO_E_NOT_FOUND, as is a gateway that cannot be reached or does not answer
 * within connect_timeout; something that answers but is no gateway is VARNO_E_NOT_SERIAL. A
 * gateway that goes away ends the transaction under way at once with VARNO_READ_FAILED; one that
 * keeps the connection but does not answer ends it with VARNO_READ_FAILED once the transaction's
 * time-outs, the gateway's queue time-out and 2 s more have passed (no such limit when a time-out
 * is 4294967295). Either way the connection is given up, and every later transaction on the link
 * fails at once with VARNO_READ_FAILED: close it and open it again.
 * Returns VARNO_OK and stores the new link in *link, or a negative code and stores NULL:
 * VARNO_E_ARGUMENT (null or empty name, null `link`, baud rate 0, a malformed network name),
 * VARNO_E_NOT_FOUND,
 * VARNO_E_PERMISSION, VARNO_E_IN_USE (also when this process has it open), VARNO_E_NOT_SERIAL,
 * VARNO_E_REFUSED_* (which setting), VARNO_E_RESOURCES, VARNO_E_SYSTEM. Logs nothing.
 * Any thread. Links are independent: several may be open at once, on different ports. */
VARNO_API int32_t VARNO_CALL varnoLinkOpen(const char* port_name, uint32_t baud_rate,
                                           VarnoLink** link);

/* Closes the link: a transaction in progress ends at once (its handler, or the varnoLinkTransact
 * waiting on it, gets VARNO_E_CLOSED), the worker stops, the port gets its previous settings
 * back and is released. A handler still running is waited for up to about a second; one that
 * takes longer is left to finish on its own, and its link never calls anything again.
 * Once it has returned, `link` is invalid. A call on the link that another thread is already
 * inside when the close begins returns promptly (VARNO_E_CLOSED or VARNO_E_BUSY); keeping other
 * threads from calling in afterwards is the host's part. NULL is ignored. Any thread, also a
 * handler of this link; never twice for one link. */
VARNO_API void VARNO_CALL varnoLinkClose(VarnoLink* link);

/* The link's state: VARNO_STATE_*; VARNO_E_ARGUMENT for NULL. Any thread. */
VARNO_API int32_t VARNO_CALL varnoLinkState(const VarnoLink* link);

/* Starts a transaction: `command` goes out (copied before the call returns) and the outcome
 * reaches `handler(context, ...)` on the link's worker. write_timeout_ms 4294967295: no limit.
 * Returns VARNO_OK when the command is on its way: the handler is then called exactly once, also
 * if the link is closed meanwhile. Otherwise it starts nothing, calls nothing and returns
 * VARNO_E_ARGUMENT (null link, command or handler), VARNO_E_BUSY (a transaction in progress,
 * or another thread inside a send on this link), VARNO_E_CLOSED or VARNO_E_WRITE_START.
 * Any thread. */
VARNO_API int32_t VARNO_CALL varnoLinkSend(VarnoLink* link, const VarnoFrame* command,
                                           uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                           VarnoReplyHandler handler, void* context);

/* One transaction, waited for: returns its outcome 0..5 (or VARNO_E_QUEUE_TIMEOUT on a gateway's
 * bus) with *reply holding the reply (0) or the command with its addresses swapped (otherwise).
 * Negative when it starts nothing (VARNO_E_ARGUMENT, VARNO_E_BUSY, VARNO_E_CLOSED,
 * VARNO_E_WRITE_START; *reply untouched), or VARNO_E_CLOSED when the link is closed while it waits
 * (*reply then holds the command, addresses swapped). Any thread; on an idle link the exchange runs
 * on the calling thread itself. */
VARNO_API int32_t VARNO_CALL varnoLinkTransact(VarnoLink* link, const VarnoFrame* command,
                                               uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                               VarnoFrame* reply);

/* A short English sentence for an error code or an outcome; never NULL (a code it does not know
 * has a text too). The text is static: never free it. */
VARNO_API const char* VARNO_CALL varnoErrorText(int32_t code);

/* Every diagnostic text (the classic functions' included) goes to `handler` instead of the
 * standard error stream; NULL restores the standard error stream. A thread that was already
 * logging may still reach the previous handler once. Any thread. */
VARNO_API void VARNO_CALL varnoSetLogHandler(VarnoLogHandler handler, void* context);

/* varnoOpenSerialPort with a C string and a plain baud rate: the same process-wide connection,
 * the same texts and results. NULL is treated as an empty name. */
VARNO_API bool VARNO_CALL varnoOpenSerialPortA(const char* port_name, uint32_t baud_rate);

/* The library's version, "MAJOR.MINOR.PATCH". Static text. */
VARNO_API const char* VARNO_CALL varnoVersion(void);

/* The data word's two encodings, for hosts that include only this header (the same functions as
 * VarnoDLL.h declares): unsigned 32-bit, least significant byte first; decimal, a 24-bit
 * two's-complement mantissa in bytes 0..2 and the number of decimal places in byte 3. */
VARNO_API uint32_t VARNO_CALL varnoDataToUInt(const uint8_t* data_arr);
VARNO_API bool VARNO_CALL varnoUIntToData(uint32_t value, uint8_t* data_arr);
VARNO_API float VARNO_CALL varnoDataToFloat(const uint8_t* data_arr);
VARNO_API bool VARNO_CALL varnoFloatToData(float value, uint8_t decimals, uint8_t* data_arr);

/* The 12 bytes that `frame` goes out as. VARNO_OK, or VARNO_E_ARGUMENT for a null pointer. */
VARNO_API int32_t VARNO_CALL varnoFrameEncode(const VarnoFrame* frame, uint8_t* bytes12);

/* Checks 12 received bytes and decodes them: VARNO_OK with *frame filled (`dest` keeps its start
 * mark), or VARNO_E_FRAME_START_MARK, VARNO_E_FRAME_HIGH_BIT or VARNO_E_FRAME_CRC (the first
 * fault found, in that order) with *frame untouched; VARNO_E_ARGUMENT for a null pointer. */
VARNO_API int32_t VARNO_CALL varnoFrameDecode(const uint8_t* bytes12, VarnoFrame* frame);

/* The machine's serial ports, for a host that lets its user pick one. */
#define VARNO_PORT_USB 0x1u     /* a USB adapter: the USB fields are filled */
#define VARNO_PORT_VIRTUAL 0x2u /* a pseudo-terminal, a virtual or absent legacy port */
#define VARNO_LIST_ALL 0x1u     /* flag for varnoListPorts: include virtual and absent ports */

typedef struct VarnoPortInfo {
  char device[256];       /* the name to open: "/dev/ttyUSB0", "COM3" */
  char stable_path[256];  /* "/dev/serial/by-id/..." where one exists, else "" */
  char driver[64];        /* "ftdi_sio", "8250", "usbser", ... or "" */
  char manufacturer[128]; /* USB strings, "" when unknown */
  char product[128];
  char serial_number[128];
  uint16_t vendor_id; /* 0 when not USB */
  uint16_t product_id;
  uint32_t flags; /* VARNO_PORT_* */
} VarnoPortInfo;

/* Fills up to `capacity` entries of `ports` (may be NULL when capacity is 0) and returns how many
 * ports there are (more than capacity: call again with room for all), or a negative VARNO_E_*
 * code. Strings are NUL-terminated UTF-8, cut to fit. Any thread.
 * Linux: the terminals in /sys/class/tty that have a device behind them, in name order (ttyUSB2
 * before ttyUSB10); for USB adapters the ids and strings of the USB device they hang from, and
 * the link in /dev/serial/by-id that names the port (it can be opened by that path too). Legacy
 * ports whose UART type is unknown (nothing there) are left out, and so are pseudo-terminals;
 * VARNO_LIST_ALL includes both, with VARNO_PORT_VIRTUAL. Nothing is opened.
 * Windows: the present devices of the Ports and Modem classes that have a COM port name, the
 * driver's service name, ids and serial number from the device instance id, the manufacturer,
 * and the friendly name as the product; VARNO_LIST_ALL adds devices not present now, with
 * VARNO_PORT_VIRTUAL. VARNO_E_ARGUMENT: a negative capacity, or NULL `ports` with room. */
VARNO_API int32_t VARNO_CALL varnoListPorts(VarnoPortInfo* ports, int32_t capacity, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif /* VARNO_LINK_H */
