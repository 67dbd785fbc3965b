// A virtual token made with /dev/uhid: a HID device 0471:485E whose feature reports are
// answered by the token model. The kernel checks neither report IDs nor lengths, so the
// model's own checks decide; a refused report is answered with an error (EIO at the host).
//
//   uhid_token [--log FILE] [--stats FILE] [--silent | --fail-gets | --unplug-on-get]
//
// --silent never answers a get (the host's request runs into the kernel's time-out);
// --fail-gets answers every get with an error; --unplug-on-get removes the device when
// the first get arrives, while the host waits for it.
// --stats rewrites FILE with the token's counters before each get is answered, so a host
// whose get has returned reads counters that include it.
#include <fcntl.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "e2e/linux/guest_token.h"

namespace {

enum class Fault { kNone, kSilent, kFailGets, kUnplugOnGet };

bool Send(int fd, const uhid_event& event) {
  return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

// One line, rewritten in place: "requests R unpaired U".
void WriteStats(int fd, const Token& token) {
  if (fd < 0) return;
  char line[64];
  const int n = std::snprintf(line, sizeof line, "requests %u unpaired %u\n", token.requests,
                              token.unpairedReads);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, line, static_cast<size_t>(n), 0) != n) {
    std::perror("stats");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Fault fault = Fault::kNone;
  int stats = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--log" && i + 1 < argc) guest::OpenLog(argv[++i]);
    if (arg == "--stats" && i + 1 < argc) {
      stats = open(argv[++i], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    if (arg == "--silent") fault = Fault::kSilent;
    if (arg == "--fail-gets") fault = Fault::kFailGets;
    if (arg == "--unplug-on-get") fault = Fault::kUnplugOnGet;
  }
  static Token token;
  guest::InitGuestToken(&token, TOKEN_MODE_HID);

  const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror("/dev/uhid");
    return 1;
  }
  static uhid_event event;
  event = {};
  event.type = UHID_CREATE2;
  std::snprintf(reinterpret_cast<char*>(event.u.create2.name), sizeof event.u.create2.name,
                "tokenmode virtual token");
  event.u.create2.rd_size =
      static_cast<uint16_t>(guest::BuildReportDescriptor(event.u.create2.rd_data));
  event.u.create2.bus = 0x03;  // BUS_USB, as a token is
  event.u.create2.vendor = guest::kVendorId;
  event.u.create2.product = guest::kHidProductId;
  event.u.create2.version = guest::kTokenVersion;
  if (!Send(fd, event)) {
    std::perror("UHID_CREATE2");
    return 1;
  }
  guest::Log("created");
  WriteStats(stats, token);

  static uhid_event reply;
  for (;;) {
    if (read(fd, &event, sizeof event) <= 0) break;
    reply = {};
    if (event.type == UHID_SET_REPORT) {
      const auto& set = event.u.set_report;
      const uint32_t size = set.size < sizeof set.data ? set.size : sizeof set.data;
      const int taken = TokenHidSetFeature(&token, set.data, size);
      guest::Log(std::string(taken ? "set " : "refused set ") + guest::Hex(set.data, size));
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = set.id;
      reply.u.set_report_reply.err = taken ? 0 : 5;  // EIO
      Send(fd, reply);
    } else if (event.type == UHID_GET_REPORT) {
      const auto& get = event.u.get_report;
      guest::Log("get " + std::to_string(get.rnum));
      if (fault == Fault::kSilent) continue;
      if (fault == Fault::kUnplugOnGet) {
        reply.type = UHID_DESTROY;
        Send(fd, reply);
        guest::Log("unplugged");
        sleep(2);  // let the host see the removal before this program ends
        return 0;
      }
      reply.type = UHID_GET_REPORT_REPLY;
      reply.u.get_report_reply.id = get.id;
      uint8_t* data = reply.u.get_report_reply.data;
      data[0] = get.rnum;
      const uint32_t length = TokenHidReportLength(get.rnum);
      const int ok = fault == Fault::kNone && TokenHidGetFeature(&token, data, length);
      reply.u.get_report_reply.err = ok ? 0 : 5;
      reply.u.get_report_reply.size = static_cast<uint16_t>(ok ? length : 0);
      if (ok) guest::Log("reply " + guest::Hex(data + 2, data[1]));
      WriteStats(stats, token);
      Send(fd, reply);
    }
  }
  return 0;
}
