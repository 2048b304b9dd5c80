// Telnet as a carrier of binary data (RFC 854, 855, 856) and the codes of its COM-PORT-OPTION
// (RFC 2217): the byte-level decoder both ends use, and the encoders for what goes out. Pure: no
// clocks, sockets or threads.
#ifndef VARNO_SERIAL_TELNET_H
#define VARNO_SERIAL_TELNET_H

#include <cstddef>
#include <cstdint>

namespace varno::telnet {

// Commands.
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;

// Options.
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the code + 100.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopBitsOne = 1;
inline constexpr std::uint8_t kControlNoFlowControl = 1;  // outbound (and, by most servers, both)
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kPurgeReceived = 1;  // the server's data from the line, not yet sent
inline constexpr std::uint8_t kPurgeToSend = 2;    // the server's data for the line, not yet sent
inline constexpr std::uint8_t kPurgeBoth = 3;

// Sub-negotiation payload kept for the handler (option byte included); longer ones are cut.
inline constexpr std::size_t kMaxSubnegotiation = 32;
// The longest sub-negotiation taken at all, in bytes after IAC SB (its IAC SE included).
// COM-PORT-OPTION's longest, a SIGNATURE text, is a few dozen bytes; one that runs on past this is
// a stream out of step, whose data cannot be told from the rest of the command, and the decoder
// stops there (Decoder::failed).
inline constexpr std::size_t kMaxSubnegotiationRun = 4096;

// What the decoder found besides data.
class Handler {
 public:
  virtual ~Handler() = default;
  // WILL, WONT, DO or DONT `option`.
  virtual void negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // IAC SB payload IAC SE, un-doubled; `size` covers at most kMaxSubnegotiation bytes, and
  // `cut` says there were more.
  virtual void subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) = 0;
};

// Splits a received byte stream into data and telnet commands. Commands may be cut anywhere
// between two calls: the decoder carries its state over.
class Decoder {
 public:
  // Decodes `size` bytes of `in`: the data bytes go to `data` (room for `size` bytes needed), in
  // order, IAC IAC as one 0xFF; everything else to `handler` (other commands, such as NOP or GA,
  // are dropped). Returns the number of data bytes. Once failed, decodes nothing more.
  std::size_t decode(const std::uint8_t* in, std::size_t size, std::uint8_t* data,
                     Handler& handler);
  // A sub-negotiation ran past kMaxSubnegotiationRun bytes: the stream is not telnet.
  bool failed() const { return state_ == State::kFailed; }

 private:
  enum class State { kData, kIac, kVerb, kSub, kSubIac, kFailed };
  // One more payload byte, kept if there is room.
  void subByte(std::uint8_t byte);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t sub_[kMaxSubnegotiation] = {};
  std::size_t sub_size_ = 0;
  std::size_t sub_run_ = 0;
  bool sub_cut_ = false;
};

// Encoders: each writes into `out` and returns the number of bytes written.
// A data byte: 0xFF doubled (1 or 2 bytes).
std::size_t encodeData(std::uint8_t byte, std::uint8_t* out);
// IAC verb option (3 bytes).
std::size_t encodeNegotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out);
// IAC SB COM-PORT-OPTION command value... IAC SE, 0xFF in the value doubled. `out` needs room for
// 6 + 2 * size bytes.
std::size_t encodeComPort(std::uint8_t command, const std::uint8_t* value, std::size_t size,
                          std::uint8_t* out);

}  // namespace varno::telnet

#endif  // VARNO_SERIAL_TELNET_H
