// Finds the devices behind the two interface classes the library asks for, in sysfs.
#pragma once

#include <string>
#include <vector>

namespace linux_backend {

struct DiscoveredDevice {
  std::string path;         // the device node the library opens
  std::string hardwareIds;  // REG_MULTI_SZ: each ID NUL-terminated, closed by an empty one
};

// Every hidraw node, in node-number order, with the hardware IDs Windows would give its HID
// device: "HID\VID_vvvv&PID_pppp&REV_rrrr" (rrrr the USB parent's bcdDevice, 0000 without
// one), then "HID\VID_vvvv&PID_pppp".
std::vector<DiscoveredDevice> DiscoverHidrawDevices(const std::string& sysRoot,
                                                    const std::string& devRoot);

// USB devices of the token's vendor (0471) with a vendor-specific (class ff) interface, in
// bus and device-number order; paths <devRoot>/bus/usb/BBB/DDD.
std::vector<DiscoveredDevice> DiscoverVendorUsbDevices(const std::string& sysRoot,
                                                       const std::string& devRoot);

}  // namespace linux_backend
