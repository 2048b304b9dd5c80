// The exported functions: argument checks and the fixed diagnostics, then the code inside.
#include "VarnoDLL.h"
#include "diagnostic.h"
#include "protocol/data_word.h"

extern "C" {

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
