#include "serial/port_target.h"

#include <limits>

#include "serial/serial_port.h"

namespace quorvane {

bool openTarget(SerialPort& port, const PortTarget& target, int speed) {
  if (!target.devicePath.empty()) return port.openDevice(target.devicePath, speed) != 0;
  if (target.number < 1 || target.number > std::numeric_limits<int>::max()) {
    port.close();
    return false;
  }
  return port.open(static_cast<int>(target.number), speed) != 0;
}

}  // namespace quorvane
