#include "serial/device_identity.h"

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

}  // namespace quorvane
