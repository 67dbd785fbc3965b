// A real USB token in the guest: a configfs gadget on dummy_hcd whose one function is a
// FunctionFS instance served by this program through the token model, in either
// personality. HID: interface class 3, a HID descriptor and an interrupt IN endpoint, the
// feature reports as class requests on ep0. Vendor: a class ff interface that takes vendor
// requests addressed to the device (40: a request, C0: read its reply). After an accepted
// mode request, once its reply has been read, the gadget leaves the bus and comes back in
// the other personality.
//
//   ffs_token [--log FILE] [--mode hid|usb] [--stall | --silent | --unplug-on-reply]
//
// Faults, in the vendor personality: --stall stalls every vendor request; --silent never
// answers a reply read (the host's transfer times out); --unplug-on-reply leaves the bus
// when a reply read arrives, while the host waits for it.
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "e2e/linux/guest_token.h"

namespace {

const std::string kGadget = "/sys/kernel/config/usb_gadget/tokenmode";
const char* const kUdc = "dummy_udc.0";

enum class Fault { kNone, kStall, kSilent, kUnplugOnReply };
enum Personality { kHid = 0, kVendor = 1 };
const char* const kFunctionName[2] = {"hid", "usb"};

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!ok) std::fprintf(stderr, "ffs_token: writing %s: %s\n", path.c_str(), strerror(errno));
  return ok;
}

uint8_t g_reportDescriptor[512];
uint32_t g_reportDescriptorLength;

void Put(uint8_t* out, uint32_t* n, const uint8_t* bytes, uint32_t length) {
  std::memcpy(out + *n, bytes, length);
  *n += length;
}

void PutLe32(uint8_t* out, uint32_t* n, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  Put(out, n, bytes, 4);
}

// One write of the v2 descriptor block: full- and high-speed sets alike but the interval.
bool WriteDescriptors(int ep0, Personality personality) {
  uint8_t block[256];
  uint32_t n = 0;
  const bool hid = personality == kHid;
  const uint32_t count = hid ? 3 : 1;
  PutLe32(block, &n, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  PutLe32(block, &n, 0);  // length, filled in below
  PutLe32(block, &n,
          FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | (hid ? 0 : FUNCTIONFS_ALL_CTRL_RECIP));
  PutLe32(block, &n, count);
  PutLe32(block, &n, count);
  for (uint8_t interval : {10, 4}) {
    const uint8_t interface[] = {9,
                                 USB_DT_INTERFACE,
                                 0,
                                 0,
                                 static_cast<uint8_t>(hid ? 1 : 0),
                                 static_cast<uint8_t>(hid ? 3 : 0xFF),
                                 0,
                                 0,
                                 1};
    Put(block, &n, interface, sizeof interface);
    if (!hid) continue;
    const uint8_t hidDescriptor[] = {9,
                                     0x21,
                                     0x11,
                                     0x01,
                                     0,
                                     1,
                                     0x22,
                                     static_cast<uint8_t>(g_reportDescriptorLength),
                                     static_cast<uint8_t>(g_reportDescriptorLength >> 8)};
    Put(block, &n, hidDescriptor, sizeof hidDescriptor);
    const uint8_t endpoint[] = {7, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_INT, 64, 0, interval};
    Put(block, &n, endpoint, sizeof endpoint);
  }
  const uint32_t length = n;
  n = 4;
  PutLe32(block, &n, length);
  if (write(ep0, block, length) != static_cast<ssize_t>(length)) return false;

  uint8_t strings[64];
  n = 0;
  const char kName[] = "token";
  PutLe32(strings, &n, FUNCTIONFS_STRINGS_MAGIC);
  PutLe32(strings, &n, 16 + 2 + sizeof kName);
  PutLe32(strings, &n, 1);  // strings per language
  PutLe32(strings, &n, 1);  // languages
  const uint8_t english[2] = {0x09, 0x04};
  Put(strings, &n, english, 2);
  Put(strings, &n, reinterpret_cast<const uint8_t*>(kName), sizeof kName);
  return write(ep0, strings, n) == static_cast<ssize_t>(n);
}

// The gadget with both functions made and mounted; neither linked into the configuration.
bool MakeGadget() {
  mkdir(kGadget.c_str(), 0755);
  mkdir((kGadget + "/strings/0x409").c_str(), 0755);
  mkdir((kGadget + "/configs/c.1").c_str(), 0755);
  bool ok = WriteText(kGadget + "/idVendor", "0x0471") &&
            WriteText(kGadget + "/bcdDevice", "0x0230") &&
            WriteText(kGadget + "/bcdUSB", "0x0200") &&
            WriteText(kGadget + "/strings/0x409/manufacturer", "tokenmode") &&
            WriteText(kGadget + "/strings/0x409/product", "virtual token") &&
            WriteText(kGadget + "/strings/0x409/serialnumber", "0102030405060708");
  for (const char* name : kFunctionName) {
    const std::string mountPoint = std::string("/dev/ffs-") + name;
    mkdir((kGadget + "/functions/ffs." + name).c_str(), 0755);
    mkdir(mountPoint.c_str(), 0755);
    if (mount(name, mountPoint.c_str(), "functionfs", 0, nullptr) != 0 && errno != EBUSY) {
      std::perror(mountPoint.c_str());
      ok = false;
    }
  }
  return ok;
}

// Leaves the bus (when on it) and comes back as `personality`.
bool Attach(Personality personality, bool leaveFirst) {
  if (leaveFirst) WriteText(kGadget + "/UDC", "\n");
  for (const char* name : kFunctionName) {
    unlink((kGadget + "/configs/c.1/ffs." + name).c_str());
  }
  const std::string name = kFunctionName[personality];
  if (symlink((kGadget + "/functions/ffs." + name).c_str(),
              (kGadget + "/configs/c.1/ffs." + name).c_str()) != 0) {
    std::perror("link function");
    return false;
  }
  const bool ok = WriteText(kGadget + "/idProduct", personality == kHid ? "0x485e" : "0x485d") &&
                  WriteText(kGadget + "/UDC", kUdc);
  guest::Log(std::string("attached ") + name);
  return ok;
}

void Stall(int ep0, const usb_ctrlrequest& setup) {
  // The opposite direction of the data stage stalls the request.
  if (setup.bRequestType & USB_DIR_IN) {
    (void)!read(ep0, nullptr, 0);
  } else {
    (void)!write(ep0, nullptr, 0);
  }
}

struct State {
  Token token;
  Fault fault = Fault::kNone;
  Personality personality = kHid;
  uint32_t modeRequestsSeen = 0;
  bool leftBus = false;
};

// Serves one request on ep0; returns true when a reply was read after an accepted mode
// request, so the gadget is to come back in the other personality.
bool Serve(State& state, int ep0, const usb_ctrlrequest& setup) {
  const uint16_t value = setup.wValue, length = setup.wLength;
  const uint8_t header[8] = {setup.bRequestType,
                             setup.bRequest,
                             static_cast<uint8_t>(value),
                             static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(setup.wIndex),
                             static_cast<uint8_t>(setup.wIndex >> 8),
                             static_cast<uint8_t>(length),
                             static_cast<uint8_t>(length >> 8)};
  static uint8_t data[4096];
  const bool in = setup.bRequestType & USB_DIR_IN;
  const uint32_t want = length < sizeof data ? length : sizeof data;
  guest::Log("setup " + guest::Hex(header, 8));
  if (state.personality == kHid) {
    const uint8_t reportId = static_cast<uint8_t>(value);
    if (setup.bRequestType == 0x81 && setup.bRequest == USB_REQ_GET_DESCRIPTOR && value == 0x2200) {
      const uint32_t n = want < g_reportDescriptorLength ? want : g_reportDescriptorLength;
      (void)!write(ep0, g_reportDescriptor, n);
    } else if (setup.bRequestType == 0x21 && setup.bRequest == 0x0A) {  // SET_IDLE
      (void)!read(ep0, nullptr, 0);
    } else if (setup.bRequestType == 0x21 && setup.bRequest == 0x09 && value >> 8 == 3 &&
               TokenHidReportLength(reportId) == length) {  // SET_REPORT, feature
      const ssize_t got = read(ep0, data, want);
      const bool taken =
          got == length && data[0] == reportId && TokenHidSetFeature(&state.token, data, length);
      guest::Log(std::string(taken ? "set " : "refused set ") +
                 guest::Hex(data, got > 0 ? static_cast<uint32_t>(got) : 0));
    } else if (setup.bRequestType == 0xA1 && setup.bRequest == 0x01 && value >> 8 == 3) {
      data[0] = reportId;  // GET_REPORT, feature
      const uint32_t size = TokenHidReportLength(reportId);
      if (!TokenHidGetFeature(&state.token, data, size)) {
        Stall(ep0, setup);
        return false;
      }
      guest::Log("reply " + guest::Hex(data + 2, data[1]));
      (void)!write(ep0, data, want < size ? want : size);
      return true;
    } else {
      Stall(ep0, setup);
    }
    return false;
  }
  if ((setup.bRequestType & 0x7F) != USB_TYPE_VENDOR || state.fault == Fault::kStall) {
    Stall(ep0, setup);
    return false;
  }
  if (!in) {
    const ssize_t got = length == 0 ? read(ep0, nullptr, 0) : read(ep0, data, want);
    const uint32_t n = got > 0 ? static_cast<uint32_t>(got) : 0;
    const int taken = TokenRequest(&state.token, header, data, n);
    guest::Log(std::string(taken ? "request " : "refused request ") + guest::Hex(header, 8) +
               " data " + guest::Hex(data, n));
    return false;
  }
  if (state.fault == Fault::kSilent) {
    guest::Log("silent");
    sleep(7);  // past the host's time-out; then the request is dealt with
    Stall(ep0, setup);
    return false;
  }
  if (state.fault == Fault::kUnplugOnReply) {
    WriteText(kGadget + "/UDC", "\n");
    guest::Log("unplugged");
    state.leftBus = true;
    return false;
  }
  const uint32_t n = TokenReadReply(&state.token, data, want);
  guest::Log("reply " + guest::Hex(data, n));
  (void)!write(ep0, data, n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  static State state;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--log" && i + 1 < argc) guest::OpenLog(argv[++i]);
    if (arg == "--mode" && i + 1 < argc) {
      state.personality = std::string(argv[++i]) == "usb" ? kVendor : kHid;
    }
    if (arg == "--stall") state.fault = Fault::kStall;
    if (arg == "--silent") state.fault = Fault::kSilent;
    if (arg == "--unplug-on-reply") state.fault = Fault::kUnplugOnReply;
  }
  guest::InitGuestToken(&state.token, state.personality == kHid ? TOKEN_MODE_HID : TOKEN_MODE_USB);
  g_reportDescriptorLength = guest::BuildReportDescriptor(g_reportDescriptor);
  if (!MakeGadget()) return 1;
  int ep0[2];
  for (int p : {kHid, kVendor}) {
    ep0[p] = open((std::string("/dev/ffs-") + kFunctionName[p] + "/ep0").c_str(), O_RDWR);
    if (ep0[p] < 0 || !WriteDescriptors(ep0[p], static_cast<Personality>(p))) {
      std::fprintf(stderr, "ffs_token: ep0 of %s: %s\n", kFunctionName[p], strerror(errno));
      return 1;
    }
  }
  if (!Attach(state.personality, false)) return 1;

  for (;;) {
    pollfd fds[2] = {{ep0[kHid], POLLIN, 0}, {ep0[kVendor], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    for (int p : {kHid, kVendor}) {
      if ((fds[p].revents & POLLIN) == 0) continue;
      usb_functionfs_event event;
      if (read(ep0[p], &event, sizeof event) != static_cast<ssize_t>(sizeof event)) continue;
      if (event.type != FUNCTIONFS_SETUP || p != state.personality || state.leftBus) continue;
      const bool replied = Serve(state, ep0[p], event.u.setup);
      if (replied && state.token.modeRequests != state.modeRequestsSeen) {
        state.modeRequestsSeen = state.token.modeRequests;
        usleep(100 * 1000);  // let the host finish the transfer and close the device
        TokenReattach(&state.token);
        state.personality = state.token.mode == TOKEN_MODE_USB ? kVendor : kHid;
        if (!Attach(state.personality, true)) return 1;
      }
    }
  }
}
