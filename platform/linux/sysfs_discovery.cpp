#include "platform/linux/sysfs_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace linux_backend {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kTokenVendor = 0x0471;

// The first line of a sysfs attribute, without its newline; "" when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

bool ParseHex(const std::string& text, unsigned long* value) {
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 16);
  return *end == '\0';
}

// HID_ID=0003:00000471:0000485E in the HID device's uevent.
bool ParseHidId(const fs::path& uevent, unsigned* vendor, unsigned* product) {
  std::ifstream in(uevent);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("HID_ID=", 0) != 0) continue;
    std::stringstream fields(line.substr(7));
    std::string bus, vid, pid;
    unsigned long v = 0, p = 0;
    if (!std::getline(fields, bus, ':') || !std::getline(fields, vid, ':') ||
        !std::getline(fields, pid) || !ParseHex(vid, &v) || !ParseHex(pid, &p)) {
      return false;
    }
    *vendor = static_cast<unsigned>(v & 0xFFFF);
    *product = static_cast<unsigned>(p & 0xFFFF);
    return true;
  }
  return false;
}

// The bcdDevice of the USB device a HID device hangs under (HID device -> interface -> USB
// device in sysfs), or 0 for a HID device without a USB parent (uhid, Bluetooth, I2C).
unsigned UsbRevisionAbove(const fs::path& hidDevice, const fs::path& sysRoot) {
  std::error_code error;
  fs::path dir = fs::canonical(hidDevice, error);
  if (error) return 0;
  for (int level = 0; level < 3 && dir.has_parent_path() && dir != sysRoot; ++level) {
    dir = dir.parent_path();
    unsigned long revision = 0;
    if (fs::exists(dir / "idVendor", error) &&
        ParseHex(ReadAttribute(dir / "bcdDevice"), &revision)) {
      return static_cast<unsigned>(revision & 0xFFFF);
    }
  }
  return 0;
}

std::string MultiSz(const std::vector<std::string>& ids) {
  std::string out;
  for (const std::string& id : ids) {
    out += id;
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

// The number at the end of a name such as "hidraw12"; names without one sort last.
long TrailingNumber(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  if (start == name.size()) return -1;
  return std::strtol(name.c_str() + start, nullptr, 10);
}

bool HasVendorInterface(const fs::path& usbDevice) {
  std::error_code error;
  for (const auto& child : fs::directory_iterator(usbDevice, error)) {
    const std::string name = child.path().filename().string();
    if (name.find(':') == std::string::npos) continue;  // interfaces are "<dev>:<cfg>.<if>"
    unsigned long interfaceClass = 0;
    if (ParseHex(ReadAttribute(child.path() / "bInterfaceClass"), &interfaceClass) &&
        interfaceClass == 0xFF) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<DiscoveredDevice> DiscoverHidrawDevices(const std::string& sysRoot,
                                                    const std::string& devRoot) {
  struct Found {
    long number;
    DiscoveredDevice device;
  };
  std::vector<Found> found;
  const fs::path classDir = fs::path(sysRoot + "/sys/class/hidraw");
  std::error_code error;
  for (const auto& node : fs::directory_iterator(classDir, error)) {
    const std::string name = node.path().filename().string();
    unsigned vendor = 0, product = 0;
    if (!ParseHidId(node.path() / "device" / "uevent", &vendor, &product)) continue;
    const unsigned revision = UsbRevisionAbove(node.path() / "device", fs::path(sysRoot));
    char withRevision[64], plain[48];
    std::snprintf(withRevision, sizeof withRevision, "HID\\VID_%04X&PID_%04X&REV_%04X", vendor,
                  product, revision);
    std::snprintf(plain, sizeof plain, "HID\\VID_%04X&PID_%04X", vendor, product);
    found.push_back({TrailingNumber(name), {devRoot + "/" + name, MultiSz({withRevision, plain})}});
  }
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return a.number < b.number; });
  std::vector<DiscoveredDevice> devices;
  for (Found& f : found) devices.push_back(std::move(f.device));
  return devices;
}

std::vector<DiscoveredDevice> DiscoverVendorUsbDevices(const std::string& sysRoot,
                                                       const std::string& devRoot) {
  struct Found {
    unsigned long bus, dev;
    DiscoveredDevice device;
  };
  std::vector<Found> found;
  const fs::path busDir = fs::path(sysRoot + "/sys/bus/usb/devices");
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(busDir, error)) {
    const fs::path dir = entry.path();
    unsigned long vendor = 0, product = 0, revision = 0, bus = 0, dev = 0;
    if (!ParseHex(ReadAttribute(dir / "idVendor"), &vendor) || vendor != kTokenVendor) continue;
    ParseHex(ReadAttribute(dir / "idProduct"), &product);
    ParseHex(ReadAttribute(dir / "bcdDevice"), &revision);
    const std::string busText = ReadAttribute(dir / "busnum");
    const std::string devText = ReadAttribute(dir / "devnum");
    char* end = nullptr;
    bus = std::strtoul(busText.c_str(), &end, 10);
    if (busText.empty() || *end != '\0' || bus == 0 || bus > 999) continue;
    dev = std::strtoul(devText.c_str(), &end, 10);
    if (devText.empty() || *end != '\0' || dev == 0 || dev > 999) continue;
    if (!HasVendorInterface(dir)) continue;
    char path[32], withRevision[64], plain[48];
    std::snprintf(path, sizeof path, "/bus/usb/%03lu/%03lu", bus, dev);
    std::snprintf(withRevision, sizeof withRevision, "USB\\VID_%04lX&PID_%04lX&REV_%04lX", vendor,
                  product, revision);
    std::snprintf(plain, sizeof plain, "USB\\VID_%04lX&PID_%04lX", vendor, product);
    found.push_back({bus, dev, {devRoot + path, MultiSz({withRevision, plain})}});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.bus != b.bus ? a.bus < b.bus : a.dev < b.dev;
  });
  std::vector<DiscoveredDevice> devices;
  for (Found& f : found) devices.push_back(std::move(f.device));
  return devices;
}

}  // namespace linux_backend
