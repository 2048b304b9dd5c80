// What the classic interface makes of a failed open: the line it logs for the step that failed
// (named for the Windows call that step is, whichever port took it) and the code every link
// returns for it.
#ifndef VARNO_CORE_CLASSIC_POLICY_H
#define VARNO_CORE_CLASSIC_POLICY_H

#include <cstdint>

#include "ports/serial_port.h"

namespace varno {

// The classic open's text for `step` ("\n openInterface !SetCommState", ...); "" for kNone.
const char* classicOpenText(OpenStep step);
// The VARNO_E_* code for a failed open: what the system said where it said more than "refused",
// otherwise the step's own code. 0 for a status that is ok.
std::int32_t openFailureCode(const OpenStatus& status);

}  // namespace varno

#endif  // VARNO_CORE_CLASSIC_POLICY_H
