// The client's side of an RFC 2217 session: which options are agreed, what the server answered,
// and what it is owed in return; the commands that set the line, and whether the answers confirm
// them. Pure, like the codec it builds on: the port moves the bytes.
#ifndef VARNO_NETWORK_TELNET_CLIENT_H
#define VARNO_NETWORK_TELNET_CLIENT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "network/telnet.h"

namespace varno {

class TelnetClient final : public telnet::Handler {
 public:
  // What a COM-PORT-OPTION answer said; -1 while none has come.
  struct Answers {
    std::int64_t baud_rate = -1;
    int data_size = -1;
    int parity = -1;
    int stop_size = -1;
    int flow_control = -1;  // SET-CONTROL answers about outbound flow control (1..3)
    int dtr = -1;           // SET-CONTROL answers about DTR (8 on, 9 off)
  };
  // Room enough for the commands of setLine.
  static constexpr std::size_t kLineCommandsSize = 96;

  // The offers a session opens with: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION (9 bytes).
  std::size_t offers(std::uint8_t* out);

  void negotiation(std::uint8_t verb, std::uint8_t option) override;
  void subnegotiation(const std::uint8_t* payload, std::size_t size, bool cut) override;

  // BINARY both ways and COM-PORT-OPTION from this side.
  bool agreed() const;
  // The server declined one of those, or took it back.
  bool refused() const { return refused_; }
  bool comPortEnabled() const { return us_[kComPortIndex].enabled; }

  // The line as the exported open sets a local one: the rate asked for, 8N1, no flow control,
  // DTR off. Forgets earlier answers and writes the commands (at most kLineCommandsSize bytes),
  // one unit each, into `out`; `unit_sizes` (6 entries) gets each one's size. DTR goes first,
  // and its answer is not waited for: a server whose line has no modem lines does not answer it
  // (ser2net serving a terminal), and the answers to the commands after it show it has been
  // dealt with.
  std::size_t setLine(std::uint32_t baud_rate, std::uint8_t* out, std::size_t* unit_sizes);
  static constexpr std::size_t kLineCommands = 6;
  // Each command of the last setLine has been answered...
  bool lineAnswered() const;
  // ... or an answer, or the negotiation, says the line is not as asked.
  bool lineRefused() const;

  Answers answers;

  // Replies owed to the server; the caller sends and clears them.
  const std::uint8_t* replies() const { return replies_.data(); }
  std::size_t replySize() const { return reply_size_; }
  void clearReplies() { reply_size_ = 0; }

 private:
  static constexpr int kBinaryIndex = 0;
  static constexpr int kComPortIndex = 1;
  struct Side {
    bool enabled = false;
    bool pending = false;  // asked for, no answer yet
  };
  static int indexOf(std::uint8_t option);
  void reply(std::uint8_t verb, std::uint8_t option);
  // An option this side does not do is refused once: a server that asks again is not answered
  // again, so two ends can never loop.
  bool firstRefusal(std::array<std::uint8_t, 32>& sent, std::uint8_t option);

  Side us_[2];   // WILL: options this side performs (BINARY, COM-PORT-OPTION)
  Side him_[2];  // DO: options the server performs (BINARY only)
  bool refused_ = false;
  std::uint32_t asked_baud_rate_ = 0;
  std::array<std::uint8_t, 32> wont_sent_{};
  std::array<std::uint8_t, 32> dont_sent_{};
  std::array<std::uint8_t, 60> replies_{};
  std::size_t reply_size_ = 0;
};

}  // namespace varno

#endif  // VARNO_NETWORK_TELNET_CLIENT_H
