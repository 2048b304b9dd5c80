// varnoListPorts: the platform's list of ports, copied into the host's array.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "port_list/port_list.h"
#include "varno_link.h"

namespace varno {

void copyField(char* field, std::size_t size, const std::string& text) {
  std::size_t length = std::min(text.size(), size - 1);
  // Never half a UTF-8 sequence: back off over continuation bytes to the start of a character.
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Leading zeros aside, the longer number is the larger.
      std::size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int order = a.compare(si, ei - si, b, sj, ej - sj);
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace varno

extern "C" {

VARNO_API int32_t VARNO_CALL varnoListPorts(VarnoPortInfo* ports, int32_t capacity,
                                            uint32_t flags) {
  if (capacity < 0 || (ports == nullptr && capacity > 0)) return VARNO_E_ARGUMENT;
  try {
    const std::vector<VarnoPortInfo> found = varno::listPorts(flags);
    const std::size_t copied = std::min(found.size(), static_cast<std::size_t>(capacity));
    std::copy(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(copied), ports);
    return static_cast<int32_t>(std::min<std::size_t>(found.size(), 0x7FFFFFFF));
  } catch (const std::bad_alloc&) {
    return VARNO_E_RESOURCES;
  } catch (...) {
    return VARNO_E_SYSTEM;
  }
}

}  // extern "C"
