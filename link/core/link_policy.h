// Where the classic functions' link and the link handles differ, named once. The classic
// functions share one default link that keeps the classic ways (its host programs rely on them);
// every link handle of the C interface, and everything built on it, takes the handles' ways.
#ifndef VARNO_CORE_LINK_POLICY_H
#define VARNO_CORE_LINK_POLICY_H

namespace varno {

struct LinkPolicy {
  // The open's and close's steps are logged ("\n openInterface !SetCommState", "\n interface has
  // been closed", "\n THREAD EXIT"...). Otherwise only what is wrong is logged.
  bool logs_steps;
  // An open of a link that is open closes it first, and an empty name fails silently; otherwise
  // the open fails with VARNO_E_IN_USE.
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

}  // namespace varno

#endif  // VARNO_CORE_LINK_POLICY_H
