#include "serial/device_identity.h"

#include "serial/port_map.h"
#include "serial/serial_port.h"

namespace quorvane {

std::string DeviceIdentity::describe() const {
  std::string name = manufacturer;
  if (!product.empty()) name += (name.empty() ? "" : " ") + product;
  if (name.empty()) name = friendlyName;
  std::string details;
  if (!vendorId.empty() || !productId.empty()) details = "USB " + vendorId + ":" + productId;
  if (!serial.empty()) details += (details.empty() ? "" : ", ") + std::string("serial ") + serial;
  if (details.empty()) return name;
  return name.empty() ? details : name + " (" + details + ")";
}

PortLook lookAtPort(long long portNumber) {
  PortLook look;
  look.device = devicePathForPort(portNumber).value_or(std::string());
  look.openError = probeDevice(look.device).error;
  if (const std::optional<DeviceIdentity> id = identifyDevice(look.device))
    look.adapter = id->describe();
  return look;
}

}  // namespace quorvane
