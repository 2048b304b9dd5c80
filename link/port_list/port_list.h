// The machine's serial ports (varnoListPorts). One implementation per platform:
// port_list_linux.cpp (sysfs) and port_list_win32.cpp (SetupAPI).
#ifndef VARNO_SERIAL_PORT_LIST_H
#define VARNO_SERIAL_PORT_LIST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "varno_link.h"

namespace varno {

// Every port, sorted by device name in natural order. Throws std::bad_alloc.
std::vector<VarnoPortInfo> listPorts(std::uint32_t flags);

// Copies `text` into a field of `size` bytes: cut to fit at a character boundary, NUL-terminated.
void copyField(char* field, std::size_t size, const std::string& text);

// Natural order of names: "ttyUSB2" before "ttyUSB10", "COM3" before "COM12".
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace varno

#endif  // VARNO_SERIAL_PORT_LIST_H
