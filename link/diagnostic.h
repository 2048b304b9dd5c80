// The library's diagnostics: fixed texts, written as they stand to the standard error stream.
#ifndef VARNO_DIAGNOSTIC_H
#define VARNO_DIAGNOSTIC_H

namespace varno {

void logDiagnostic(const char* text);

// Where the texts go instead of stderr (tests collect them); nullptr restores stderr.
using DiagnosticSink = void (*)(const char* text);
void setDiagnosticSink(DiagnosticSink sink);

}  // namespace varno

#endif  // VARNO_DIAGNOSTIC_H
