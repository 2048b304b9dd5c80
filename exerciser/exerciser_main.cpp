// VarnoDLLTest: loads VarnoDLL at run time, sends two commands to device 1 on COM1 at 38400 baud
// and prints everything each callback receives. No arguments; the exit code is always 0.
#include <atomic>
#include <cstdint>
#include <iostream>
#include <string>

#include "VarnoDLL.h"
#include "platform.h"

namespace {

using namespace varno::exerciser;

// Bound at run time; program-wide so that the callback can reach the conversions. The types come
// from the library's own declarations, so a changed signature does not go unnoticed here.
decltype(&varnoUIntToData) uint_to_data = nullptr;
decltype(&varnoDataToUInt) data_to_uint = nullptr;
decltype(&varnoFloatToData) float_to_data = nullptr;
decltype(&varnoDataToFloat) data_to_float = nullptr;
decltype(&varnoOpenSerialPort) open_serial_port = nullptr;
decltype(&varnoGetSerialPortCurrentState) get_serial_port_current_state = nullptr;
decltype(&varnoCloseSerialPort) close_serial_port = nullptr;
decltype(&varnoSendCommand) send_command = nullptr;

// Written just before each send, read by the callback on the library's worker thread.
std::atomic<std::uint32_t> send_start_ms{0};

constexpr std::uint8_t kDeviceAddress = 1;
constexpr std::uint8_t kHostAddress = 31;
constexpr std::uint32_t kWriteTimeoutMs = 100;
constexpr std::uint32_t kReplyTimeoutMs = 100;

template <typename Function>
void bind(LibraryHandle library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(findFunction(library, name));
}

bool bindFunctions(LibraryHandle library) {
  bind(library, "varnoUIntToData", uint_to_data);
  bind(library, "varnoDataToUInt", data_to_uint);
  bind(library, "varnoFloatToData", float_to_data);
  bind(library, "varnoDataToFloat", data_to_float);
  bind(library, "varnoOpenSerialPort", open_serial_port);
  bind(library, "varnoGetSerialPortCurrentState", get_serial_port_current_state);
  bind(library, "varnoCloseSerialPort", close_serial_port);
  bind(library, "varnoSendCommand", send_command);
  return uint_to_data && data_to_uint && float_to_data && data_to_float && open_serial_port &&
         get_serial_port_current_state && close_serial_port && send_command;
}

void VARNO_CALL printReply(std::uint8_t dest, std::uint8_t source, std::uint8_t code,
                           std::uint8_t param, std::uint8_t status, std::uint8_t error,
                           std::uint8_t* data_arr, std::int32_t error_status) {
  const std::uint32_t elapsed_ms = milliseconds() - send_start_ms.load();
  // A reply's dest still carries the start mark in bit 7; the address is the low 7 bits.
  std::cerr << "\n elapsed send-receive time = " << elapsed_ms << " ms"
            << "\n error_status = " << error_status << "\n"
            << "\n dest = " << (dest & 0x7Fu) << "\n source = " << unsigned{source}
            << "\n code = " << unsigned{code} << "\n param = " << unsigned{param}
            << "\n status = " << unsigned{status} << "\n error = " << unsigned{error}
            << "\n UINT data = " << data_to_uint(data_arr)
            << "\n FLOAT data = " << data_to_float(data_arr);
}

void sendAndReport(std::uint8_t code, const std::uint8_t* data_arr) {
  send_start_ms.store(milliseconds());
  // With wait set, this returns only after printReply has: the two reports never interleave.
  send_command(kDeviceAddress, kHostAddress, code, 0, data_arr, kWriteTimeoutMs, kReplyTimeoutMs,
               printReply, true);
}

// Holds the 1 ms timer resolution from start to every exit.
class TimerResolution {
 public:
  TimerResolution() { beginTimerResolution(); }
  ~TimerResolution() { endTimerResolution(); }
  TimerResolution(const TimerResolution&) = delete;
  TimerResolution& operator=(const TimerResolution&) = delete;
};

}  // namespace

int main() {
  const TimerResolution timer_resolution;
  sleepMilliseconds(1000);

  const LibraryHandle library = loadLibrary();
  if (library == nullptr) {
    showError("Failed to load the DLL");
    return 0;
  }
  if (!bindFunctions(library)) {
    showError("VarnoDLL functions load error !!!");
    unloadLibrary(library);
    return 0;
  }

  const std::uint32_t baud_rate = 38400;
  const std::string port_name = "COM1";
  const std::uint8_t data_arr[4] = {0, 0, 0, 0};

  // A failed open has already said why; the run still waits for Enter and closes.
  if (open_serial_port(port_name, baud_rate)) {
    get_serial_port_current_state();
    sendAndReport(0, data_arr);
    std::cerr << "\n";
    sendAndReport(3, data_arr);
  }

  std::cin.get();
  close_serial_port();
  unloadLibrary(library);
  return 0;
}
