// What a serial device is, as the system knows it: for a USB serial adapter
// its vendor and product ids, maker, product name and serial number, and a
// stable name for it. Linux asks libudev (which reads sysfs, so it works
// without a running udev daemon); Windows asks SetupAPI for the port's
// friendly name ("USB Serial Port (COM7)") and hardware id.
#pragma once

#include <optional>
#include <string>

#include "base/system_error.h"

namespace quorvane {

struct DeviceIdentity {
  std::string vendorId;      // "0403" (hexadecimal, as the system shows it)
  std::string productId;     // "6001"
  std::string manufacturer;  // "FTDI"
  std::string product;       // "FT232R USB UART"
  std::string serial;        // "A50285BI"
  std::string stableLink;    // "/dev/serial/by-id/usb-FTDI_..." where one exists
  std::string friendlyName;  // Windows: "USB Serial Port (COM7)"
  // Linux: udev has told ModemManager to leave the device alone
  // (ID_MM_DEVICE_IGNORE), as our rule does for USB serial adapters.
  bool modemManagerIgnores = false;

  // One line for a person: "FTDI FT232R USB UART (USB 0403:6001, serial
  // A50285BI)"; empty when nothing is known.
  std::string describe() const;
};

// The identity of the device `devicePath` opens (a link is followed);
// nothing when it is no USB device or the system says nothing about it.
std::optional<DeviceIdentity> identifyDevice(const std::string& devicePath);

// What a Com button's tooltip tells of COM<portNumber>: the device the map
// gives it (empty: none), why it can't be opened now (a probe: opened without
// waiting and let go at once) and the adapter it is (empty: unknown).
struct PortLook {
  std::string device;
  SystemError openError;
  std::string adapter;
};
PortLook lookAtPort(long long portNumber);

}  // namespace quorvane
