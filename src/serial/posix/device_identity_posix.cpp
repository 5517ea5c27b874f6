// A device's identity on Linux from libudev: the tty's USB device (the
// nearest parent of type usb_device) holds idVendor, idProduct,
// manufacturer, product and serial. The stable link is the one under
// /dev/serial/by-id that leads to the device (read from the folder, since
// udev's database may be absent). Without libudev (not Linux) only the link
// is known.
#include <filesystem>

#include "serial/device_identity.h"

#ifdef QUORVANE_HAVE_LIBUDEV
#include <libudev.h>

#include <memory>
#endif

namespace quorvane {

namespace fs = std::filesystem;

namespace {

std::string byIdLinkTo(const fs::path& device) {
  std::error_code ec;
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ec2;
    if (fs::canonical(link.path(), ec2) == device && !ec2) return link.path().string();
  }
  return {};
}

#ifdef QUORVANE_HAVE_LIBUDEV
std::string attribute(udev_device* device, const char* name) {
  const char* value = ::udev_device_get_sysattr_value(device, name);
  return value ? value : "";
}

bool fillFromUdev(const fs::path& device, DeviceIdentity& id) {
  const std::unique_ptr<udev, decltype(&::udev_unref)> context(::udev_new(), ::udev_unref);
  if (!context) return false;
  const std::unique_ptr<udev_device, decltype(&::udev_device_unref)> tty(
      ::udev_device_new_from_subsystem_sysname(context.get(), "tty",
                                               device.filename().string().c_str()),
      ::udev_device_unref);
  if (!tty) return false;
  // From udev's database, where a udev daemon keeps one.
  const char* ignore = ::udev_device_get_property_value(tty.get(), "ID_MM_DEVICE_IGNORE");
  id.modemManagerIgnores = ignore && std::string(ignore) == "1";
  // Owned by `tty`: not unreferenced here.
  udev_device* usb =
      ::udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
  if (!usb) return false;
  id.vendorId = attribute(usb, "idVendor");
  id.productId = attribute(usb, "idProduct");
  id.manufacturer = attribute(usb, "manufacturer");
  id.product = attribute(usb, "product");
  id.serial = attribute(usb, "serial");
  return true;
}
#endif

}  // namespace

std::optional<DeviceIdentity> identifyDevice(const std::string& devicePath) {
  std::error_code ec;
  const fs::path device = fs::canonical(devicePath, ec);
  if (ec) return std::nullopt;
  DeviceIdentity id;
  bool usb = false;
#ifdef QUORVANE_HAVE_LIBUDEV
  usb = fillFromUdev(device, id);
#endif
  id.stableLink = byIdLinkTo(device);
  if (!usb && id.stableLink.empty()) return std::nullopt;
  return id;
}

}  // namespace quorvane
