// Where the classic functions' link and the link handles differ, named once. The classic
// functions share one default link that keeps the classic ways (its host programs rely on them);
// every link handle of the C interface, and everything built on it, takes the handles' ways.
//
// Also here: what the classic interface makes of a failed open, the line it logs for the step
// that failed (named for the Windows call that step is, whichever port took it), and the code
// every link returns for it.
#ifndef VARNO_CORE_CLASSIC_POLICY_H
#define VARNO_CORE_CLASSIC_POLICY_H

#include <cstdint>

#include "ports/serial_port.h"

namespace varno {

struct LinkPolicy {
  // The open's and close's steps are logged ("\n openInterface !SetCommState", "\n interface has
  // been closed", "\n THREAD EXIT"...). Otherwise only what is wrong is logged.
  bool logs_steps;
  // An open of a link that is open closes it first; otherwise the open fails with
  // VARNO_E_IN_USE.
  bool open_closes_first;
  // A close ends a transaction under way at once, as closed (VARNO_E_CLOSED), with its one handler
  // call; may be called from the link's own handler, the worker finishing it. Otherwise the close
  // lets the transaction run on for up to a second and may end it without a callback.
  bool close_cuts_transaction;
};

inline constexpr LinkPolicy kClassicPolicy{
    .logs_steps = true, .open_closes_first = true, .close_cuts_transaction = false};
inline constexpr LinkPolicy kHandlePolicy{
    .logs_steps = false, .open_closes_first = false, .close_cuts_transaction = true};

// The classic open's text for `step` ("\n openInterface !SetCommState", ...); "" for kNone.
const char* classicOpenText(OpenStep step);
// The VARNO_E_* code for a failed open: what the system said where it said more than "refused",
// otherwise the step's own code. 0 for a status that is ok.
std::int32_t openFailureCode(const OpenStatus& status);

}  // namespace varno

#endif  // VARNO_CORE_CLASSIC_POLICY_H
