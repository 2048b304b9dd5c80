// The command-line form of a device: ADDR[:OPTION[,OPTION...]], e.g. "5:split=4+4+4,gap=5".
#ifndef VARNO_SIM_DEVICE_ARGUMENT_H
#define VARNO_SIM_DEVICE_ARGUMENT_H

#include <cstdint>
#include <string_view>

#include "simulator.h"

namespace varno::sim {

struct DeviceArgument {
  std::uint8_t address = 0;
  DeviceBehaviour behaviour;
};

// Throws std::invalid_argument, its message one line naming the offending part.
DeviceArgument parseDeviceArgument(std::string_view text);

}  // namespace varno::sim

#endif  // VARNO_SIM_DEVICE_ARGUMENT_H
