// Collects the library's diagnostics for a test instead of letting them reach stderr.
#ifndef VARNO_TESTS_DIAGNOSTIC_LOG_H
#define VARNO_TESTS_DIAGNOSTIC_LOG_H

#include <mutex>
#include <string>
#include <vector>

#include "core/diagnostic.h"

namespace varno::test {

class DiagnosticLog {
 public:
  DiagnosticLog() {
    std::lock_guard lock(mutex());
    texts().clear();
    setDiagnosticSink(&DiagnosticLog::collect);
  }
  ~DiagnosticLog() { setDiagnosticSink(nullptr); }
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  std::vector<std::string> take() {
    std::lock_guard lock(mutex());
    std::vector<std::string> out;
    out.swap(texts());
    return out;
  }

 private:
  static void collect(const char* text) {
    std::lock_guard lock(mutex());
    texts().emplace_back(text);
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& texts() {
    static std::vector<std::string> t;
    return t;
  }
};

using Texts = std::vector<std::string>;

inline const Texts kCloseTexts = {"\n THREAD EXIT", "\n closeInterface I/O is canceled",
                                  "\n interface has been closed"};

}  // namespace varno::test

#endif  // VARNO_TESTS_DIAGNOSTIC_LOG_H
