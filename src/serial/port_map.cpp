#include "serial/port_map.h"

namespace quorvane {

std::string portOverrideVariable(long long portNumber) {
  return "QUORVANE_COM" + std::to_string(portNumber);
}

}  // namespace quorvane
