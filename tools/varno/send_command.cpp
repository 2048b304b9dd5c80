// varno send: one command, one outcome.
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace varno::tool {

CLI::App* addSendCommand(CLI::App& app, SendOptions& options) {
  CLI::App* send = app.add_subcommand("send", "Send one command and show the outcome");
  addLinkOptions(*send, options.link, /*several=*/false);
  addCommandOptions(*send, options.command);
  send->footer(
      "Prints the outcome (0 reply, 1 write timed out, 2 write failed, 3 no reply, 4 read\n"
      "failed, 5 invalid reply; -21 a varno:// gateway's bus stayed busy too long), a reply's\n"
      "fields, and the round trip: from the command's start to the outcome.\n"
      "Exit: 0 reply, 1 any other outcome, 2 bad arguments, 3 the port did not open.\n");
  return send;
}

int runSend(const SendOptions& options, const OutputOptions& output, Reporter& reporter) {
  checkLinkOptions(options.link);
  const VarnoFrame command = buildFrame(options.command);
  std::vector<std::unique_ptr<PortLink>> links;
  if (!openAll(options.link, output.verbose, links)) return kExitCannotOpen;
  const Transaction t = transact(*links[0], options.link, command);
  links.clear();  // the port's settings are back before anything is printed
  if (t.outcome == VARNO_E_CLOSED) {
    note("interrupted");
    return kExitNoReply;
  }
  reporter.sent(t);
  return t.outcome == VARNO_REPLY ? kExitOk : kExitNoReply;
}

}  // namespace varno::tool
