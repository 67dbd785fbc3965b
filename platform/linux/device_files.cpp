// Device files: hidraw and usbfs nodes opened read-write (their ioctls need it), share mode
// kept with advisory flock() locks; the maker's driver calls as usbfs control transfers;
// HID feature reports through hidraw.
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/linux/handle_table.h"
#include "platform/linux/linux_internal.h"
#include "platform/linux/linux_platform.h"

namespace linux_backend {
namespace {

// The driver's I/O controls.
constexpr uint32_t kIoctlSendSetup = 0x22000C;
constexpr uint32_t kIoctlReceive = 0x220010;
constexpr uint32_t kIoctlReadAtr = 0x220024;
constexpr uint32_t kIoctlTransact = 0x220028;

constexpr uint32_t kSetupSize = 8;
constexpr uint32_t kMaxTransfer = 4096;       // usbfs and hidraw refuse more
constexpr unsigned kControlTimeoutMs = 5000;  // as long as the kernel gives a HID request
// A failed transfer that took this long ran into a time-out: the device did not answer.
constexpr auto kSlowFailure = std::chrono::milliseconds(2000);

char g_openHint[512];

using Clock = std::chrono::steady_clock;

void NoteOpenRefused(const char* path) {
  std::snprintf(g_openHint, sizeof g_openHint,
                "no permission to open %s: install the udev rule %s (see the README), then "
                "unplug and plug in the token again",
                path, kLinuxUdevRuleName);
}

uint16_t Le16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

int ControlTransfer(int fd, const uint8_t setup[8], void* data, uint16_t length) {
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = setup[0];
  transfer.bRequest = setup[1];
  transfer.wValue = Le16(setup + 2);
  transfer.wIndex = Le16(setup + 4);
  transfer.wLength = length;
  transfer.timeout = kControlTimeoutMs;
  transfer.data = data;
  int result;
  do {
    result = ioctl(fd, USBDEVFS_CONTROL, &transfer);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Send: the header's own fields with its data, as a vendor OUT transfer.
int32_t SendSetup(Handle device, HandleEntry& entry, const uint8_t* in, uint32_t inSize,
                  uint32_t* bytesReturned) {
  if (in == nullptr || inSize < kSetupSize) return Fail(kErrorInvalidParameter);
  const uint16_t length = Le16(in + 6);
  if ((in[0] & 0x80) != 0 || length != inSize - kSetupSize || length > kMaxTransfer) {
    return Fail(kErrorInvalidParameter);
  }
  uint8_t data[kMaxTransfer];
  std::memcpy(data, in + kSetupSize, length);
  // A new request: a reply that timed out before belongs to the last one.
  entry.gaveUpOnReply = false;
  UpdateHandle(device, entry);
  if (ControlTransfer(entry.fd, in, data, length) < 0) return Fail(ErrorFromErrno(errno));
  if (bytesReturned != nullptr) *bytesReturned = 0;
  return 1;
}

// Receive: an IN transfer of the header's length into the output.
int32_t Receive(Handle device, HandleEntry& entry, const uint8_t* in, uint32_t inSize, void* out,
                uint32_t outSize, uint32_t* bytesReturned) {
  if (in == nullptr || inSize != kSetupSize || (in[0] & 0x80) == 0) {
    return Fail(kErrorInvalidParameter);
  }
  uint32_t length = Le16(in + 6);
  if (length > outSize) length = outSize;
  if (length > kMaxTransfer || (out == nullptr && length != 0)) {
    return Fail(kErrorInvalidParameter);
  }
  // The library repeats a failed receive at once; after a device has let one run into the
  // time-out, the repeats fail at once too instead of waiting the time-out again each.
  if (entry.gaveUpOnReply) return Fail(kErrorSemTimeout);
  const int count = ControlTransfer(entry.fd, in, out, static_cast<uint16_t>(length));
  if (count < 0) {
    const int err = errno;
    if (err == ETIMEDOUT) {
      entry.gaveUpOnReply = true;
      UpdateHandle(device, entry);
    }
    return Fail(ErrorFromErrno(err));
  }
  if (bytesReturned != nullptr) *bytesReturned = static_cast<uint32_t>(count);
  return 1;
}

int FeatureIoctl(int fd, bool set, void* report, uint32_t length) {
  int result;
  do {
    result =
        set ? ioctl(fd, HIDIOCSFEATURE(length), report) : ioctl(fd, HIDIOCGFEATURE(length), report);
  } while (result < 0 && errno == EINTR);
  return result;
}

uint8_t Feature(const char* name, Proc entry, Handle device, void* report, uint32_t length,
                bool set) {
  if (entry != EntryFor(name)) return static_cast<uint8_t>(Fail(kErrorInvalidParameter));
  HandleEntry handle;
  if (!LookupHandle(device, &handle) || handle.kind != HandleKind::kDevice) {
    return static_cast<uint8_t>(Fail(kErrorInvalidHandle));
  }
  if (report == nullptr || length == 0 || length > kMaxTransfer) {
    return static_cast<uint8_t>(Fail(kErrorInvalidParameter));
  }
  const auto start = Clock::now();
  if (FeatureIoctl(handle.fd, set, report, length) < 0) {
    const int err = errno;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<uint8_t>(Fail(FeatureFailure(err, took)));
  }
  return 1;
}

}  // namespace

// A quick EIO or ETIMEDOUT is the device saying "not now": error 121, which the library
// retries a bounded number of times. One that came only after the kernel's time-out is
// final, since each retry would cost the whole time-out again.
uint32_t FeatureFailure(int err, std::chrono::milliseconds took) {
  if (err == EIO || err == ETIMEDOUT) {
    return took >= kSlowFailure ? kErrorGenFailure : kErrorSemTimeout;
  }
  return ErrorFromErrno(err);
}

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case EPIPE:  // the device stalled the request
    case EIO:
    case EPROTO:
    case EILSEQ:
    case EOVERFLOW:
      return kErrorGenFailure;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    case ENODEV:  // unplugged, also under a handle kept open
    case ENXIO:
    case ESHUTDOWN:
      return kErrorDeviceNotConnected;
    case ENOTTY:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    default:
      return kErrorInvalidParameter;
  }
}

Handle CreateFileA(const char* path, uint32_t /*access*/, uint32_t shareMode) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(kErrorInvalidParameter);
    return kInvalidHandle;
  }
  // Read-write whatever access is asked for: usbfs refuses its ioctls on a read-only file.
  const int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) NoteOpenRefused(path);
    SetLastError(ErrorFromErrno(err));
    return kInvalidHandle;
  }
  // Shared openers take a shared lock, an exclusive one (share mode 0) the only lock.
  if (flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    SetLastError(err == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(err));
    return kInvalidHandle;
  }
  HandleEntry entry;
  entry.kind = HandleKind::kDevice;
  entry.fd = fd;
  const Handle handle = AddHandle(entry);
  if (handle == kInvalidHandle) {
    close(fd);
    SetLastError(kErrorNotEnoughMemory);
  }
  return handle;
}

int32_t CloseHandle(Handle handle) {
  const int fd = RemoveHandle(handle);
  if (fd < 0) return Fail(kErrorInvalidHandle);
  close(fd);  // also drops the descriptor's flock, the share lock or a mutex still held
  return 1;
}

int32_t DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                        uint32_t outSize, uint32_t* bytesReturned) {
  HandleEntry entry;
  if (!LookupHandle(device, &entry) || entry.kind != HandleKind::kDevice) {
    return Fail(kErrorInvalidHandle);
  }
  if (bytesReturned != nullptr) *bytesReturned = 0;
  const auto* input = static_cast<const uint8_t*>(in);
  switch (code) {
    case kIoctlSendSetup:
      return SendSetup(device, entry, input, inSize, bytesReturned);
    case kIoctlReceive:
      return Receive(device, entry, input, inSize, out, outSize, bytesReturned);
    case kIoctlReadAtr:
    case kIoctlTransact:
      // A USB device offers neither in one transfer; the library reads the answer-to-reset
      // with control request 2 and exchanges in two steps, over the two codes above.
      return Fail(kErrorNotSupported);
    default:
      return Fail(kErrorInvalidFunction);
  }
}

uint8_t HidD_SetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  return Feature("HidD_SetFeature", entry, device, report, length, true);
}

uint8_t HidD_GetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  return Feature("HidD_GetFeature", entry, device, report, length, false);
}

}  // namespace linux_backend

const char* LinuxPlatformLastOpenHint() {
  return linux_backend::g_openHint;
}
