// Stands in for VarnoDLL under its file name, exporting every function but varnoSendCommand, the
// last one the exerciser binds. Nothing here should ever run: each function says so if it does.
#include <cstdio>

#include "VarnoDLL.h"

namespace {
void calledAnyway(const char* name) {
  std::fprintf(stderr, "\n stub %s called", name);
}
}  // namespace

extern "C" {

VARNO_API bool VARNO_CALL varnoOpenSerialPort(const std::string&, const uint32_t&) {
  calledAnyway("varnoOpenSerialPort");
  return false;
}

VARNO_API void VARNO_CALL varnoCloseSerialPort() {
  calledAnyway("varnoCloseSerialPort");
}

VARNO_API int32_t VARNO_CALL varnoGetSerialPortCurrentState() {
  calledAnyway("varnoGetSerialPortCurrentState");
  return 0;
}

VARNO_API uint32_t VARNO_CALL varnoDataToUInt(const uint8_t*) {
  calledAnyway("varnoDataToUInt");
  return 0;
}

VARNO_API bool VARNO_CALL varnoUIntToData(uint32_t, uint8_t*) {
  calledAnyway("varnoUIntToData");
  return false;
}

VARNO_API float VARNO_CALL varnoDataToFloat(const uint8_t*) {
  calledAnyway("varnoDataToFloat");
  return 0.0f;
}

VARNO_API bool VARNO_CALL varnoFloatToData(float, uint8_t, uint8_t*) {
  calledAnyway("varnoFloatToData");
  return false;
}

}  // extern "C"
