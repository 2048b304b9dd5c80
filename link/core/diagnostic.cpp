#include "core/diagnostic.h"

#include <cstdio>
#include <mutex>

namespace varno {
namespace {

struct Route {
  DiagnosticSink sink = nullptr;
  VarnoLogHandler handler = nullptr;
  void* context = nullptr;
};

// Never destroyed: a worker may still log while the process exits.
std::mutex& routeMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
Route g_route;

void setRoute(const Route& route) {
  std::lock_guard lock(routeMutex());
  g_route = route;
}

}  // namespace

void logDiagnostic(const char* text) {
  Route route;
  {
    std::lock_guard lock(routeMutex());
    route = g_route;
  }
  // Called outside the lock: a handler may log through the library, or change the handler.
  // One that fails loses its text, not the process, nor the library's step that logged.
  if (route.sink != nullptr || route.handler != nullptr) {
    try {
      if (route.sink != nullptr) {
        route.sink(text);
      } else {
        route.handler(route.context, text);
      }
    } catch (...) {
    }
  } else {
    std::fputs(text, stderr);
    std::fflush(stderr);
  }
}

void setDiagnosticSink(DiagnosticSink sink) {
  setRoute({sink, nullptr, nullptr});
}

void setLogHandler(VarnoLogHandler handler, void* context) {
  setRoute({nullptr, handler, context});
}

}  // namespace varno
