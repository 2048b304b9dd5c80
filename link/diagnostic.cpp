#include "diagnostic.h"

#include <atomic>
#include <cstdio>

namespace varno {
namespace {
std::atomic<DiagnosticSink> g_sink{nullptr};
}  // namespace

void logDiagnostic(const char* text) {
  if (DiagnosticSink sink = g_sink.load(std::memory_order_acquire)) {
    sink(text);
    return;
  }
  std::fputs(text, stderr);
  std::fflush(stderr);
}

void setDiagnosticSink(DiagnosticSink sink) {
  g_sink.store(sink, std::memory_order_release);
}

}  // namespace varno
