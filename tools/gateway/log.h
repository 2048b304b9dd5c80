// The gateway's log: one line per event on standard error, with a level. Under systemd (stderr
// connected to the journal) each line begins with the sd-daemon priority prefix ("<3>"), which
// journald turns into the entry's priority; on a terminal it begins "error: ", "warning: "...
#ifndef VARNO_GATEWAY_LOG_H
#define VARNO_GATEWAY_LOG_H

#include <string>

namespace varno::gw {

enum class Level { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

// Decides the prefix style once, from JOURNAL_STREAM and standard error's device.
void logInit(bool verbose);
void log(Level level, const std::string& text);

inline void logError(const std::string& text) {
  log(Level::kError, text);
}
inline void logWarning(const std::string& text) {
  log(Level::kWarning, text);
}
inline void logInfo(const std::string& text) {
  log(Level::kInfo, text);
}
inline void logDebug(const std::string& text) {
  log(Level::kDebug, text);
}

}  // namespace varno::gw

#endif  // VARNO_GATEWAY_LOG_H
