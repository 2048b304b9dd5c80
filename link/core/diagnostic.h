// The library's diagnostics: fixed texts, written as they stand to the standard error stream, or
// to the host's log handler.
#ifndef VARNO_DIAGNOSTIC_H
#define VARNO_DIAGNOSTIC_H

#include "varno_link.h"

namespace varno {

void logDiagnostic(const char* text);

// Where the texts go instead of stderr (tests collect them); nullptr restores stderr. Replaces a
// log handler, and the other way round.
using DiagnosticSink = void (*)(const char* text);
void setDiagnosticSink(DiagnosticSink sink);
void setLogHandler(VarnoLogHandler handler, void* context);

}  // namespace varno

#endif  // VARNO_DIAGNOSTIC_H
