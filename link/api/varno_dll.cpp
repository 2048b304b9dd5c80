// The exported functions: argument checks and the fixed diagnostics, then the code inside.
#include "VarnoDLL.h"
#include "core/connection.h"
#include "core/diagnostic.h"
#include "protocol/data_word.h"

extern "C" {

VARNO_API bool VARNO_CALL varnoOpenSerialPort(const std::string& port_name,
                                              const uint32_t& baud_rate) {
  try {
    return varno::openConnection(port_name, baud_rate);
  } catch (...) {
    // Out of memory at most; no exception leaves the library.
    return false;
  }
}

VARNO_API void VARNO_CALL varnoCloseSerialPort() {
  varno::closeConnection();
}

VARNO_API int32_t VARNO_CALL varnoGetSerialPortCurrentState() {
  return varno::connectionState();
}

VARNO_API int32_t VARNO_CALL varnoSendCommand(uint8_t dest, uint8_t source, uint8_t code,
                                              uint8_t param, const uint8_t* data_arr,
                                              uint32_t write_timeout_ms, uint32_t reply_timeout_ms,
                                              CallBackFunc callback, bool wait) {
  return varno::sendCommand(dest, source, code, param, data_arr, write_timeout_ms, reply_timeout_ms,
                            callback, wait);
}

VARNO_API uint32_t VARNO_CALL varnoDataToUInt(const uint8_t* data_arr) {
  if (data_arr == nullptr) {
    varno::logDiagnostic("\n varnoDataToInt() data_arr error");
    return 0;
  }
  return varno::dataToUInt(data_arr);
}

VARNO_API bool VARNO_CALL varnoUIntToData(uint32_t value, uint8_t* data_arr) {
  if (data_arr == nullptr) {
    varno::logDiagnostic("\n varnoIntToData() data_arr error");
    return false;
  }
  varno::uintToData(value, data_arr);
  return true;
}

VARNO_API float VARNO_CALL varnoDataToFloat(const uint8_t* data_arr) {
  if (data_arr == nullptr) {
    varno::logDiagnostic("\n varnoDataToFloat() data_arr error");
    return 0.0f;
  }
  return varno::dataToFloat(data_arr);
}

VARNO_API bool VARNO_CALL varnoFloatToData(float value, uint8_t decimals, uint8_t* data_arr) {
  if (data_arr == nullptr) {
    varno::logDiagnostic("\n varnoFloatToData() data_arr error");
    return false;
  }
  varno::floatToData(value, decimals, data_arr);
  return true;
}

}  // extern "C"
