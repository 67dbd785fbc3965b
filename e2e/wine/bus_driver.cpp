// tokenbus.sys: a root-enumerated bus of virtual tokens. Test-only.
//
// The bus's own device (\\.\TokenBus) takes the harness's control requests: plug a token in
// either personality, unplug it, re-attach it, set its faults, read what it received. Each
// plugged token is a child device of the bus:
//  - vendor-driver mode: a raw child that exposes the maker's driver interface and serves its
//    four buffered I/O controls itself;
//  - HID mode: a child with the token's HID hardware ID, for which tokenhid.sys is installed;
//    that minidriver hands the HID class driver's internal requests down to this child.
// Both answer through the one token model. After an accepted mode request the bus can
// re-attach the token by itself, in the other personality, as a real token does when the
// user pulls it out and plugs it in again.
#include "e2e/wine/bus_control.h"
#include "e2e/wine/hid_minidriver.h"

namespace {

// The maker's driver interface: {171638F7-1EAD-4873-BA98-C966ABCF0142}.
const GUID kVendorInterface = {
    0x171638F7, 0x1EAD, 0x4873, {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};

enum : ULONG {
  IOCTL_TOKEN_SEND_SETUP = 0x22000C,
  IOCTL_TOKEN_RECEIVE = 0x220010,
  IOCTL_TOKEN_READ_ATR = 0x220024,
  IOCTL_TOKEN_TRANSACT = 0x220028,
};

enum : uint32_t { kSendSetupMax = 1024, kHeaderSize = 8 };
const USHORT kVendorId = 0x0471;
const USHORT kProductId = 0x485E;

enum Role : ULONG { ROLE_BUS = 0x42555321, ROLE_CHILD = 0x4348494C };

struct BusExt {
  Role role;
  PDEVICE_OBJECT pdo;    // the root-enumerated device below us
  PDEVICE_OBJECT lower;  // where PnP requests go on
};

struct ChildExt {
  Role role;
  uint32_t slot;
  uint32_t mode;  // the personality this child presents
  BOOLEAN onBus;  // still reported to the PnP manager
  BOOLEAN removed;
  BOOLEAN interfaceOn;
  UNICODE_STRING interfaceName;
  PIRP pendingRead;  // the HID class driver's read, held until removal
};

struct Slot {
  PDEVICE_OBJECT child;  // on the bus now, or null
  Token token;
  BusFaults faults;
  uint32_t plugs;
  uint32_t modeRequestsSeen;
  BOOLEAN reattachQueued;
  uint32_t logLength;
  uint32_t logLost;
  uint8_t log[BUS_LOG_BYTES];
};

Slot g_slots[BUS_SLOTS];
KSPIN_LOCK g_lock;
PDEVICE_OBJECT g_bus;  // the bus's own device, once added
PDRIVER_OBJECT g_driver;
LONG g_childNames;
uint8_t g_reportDescriptor[256];
ULONG g_reportDescriptorLength;

struct Locked {
  KIRQL irql;
  Locked() { KeAcquireSpinLock(&g_lock, &irql); }
  ~Locked() { KeReleaseSpinLock(&g_lock, irql); }
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- the log of what each token received ------------------------------------------------

// Caller holds g_lock.
void LogEntry(Slot* slot, uint8_t op, uint8_t result, const void* bytes, uint32_t length,
              uint32_t capacity) {
  uint32_t need = sizeof(BusLogEntry) + length;
  if (slot->logLength + need > BUS_LOG_BYTES) {
    slot->logLost++;
    return;
  }
  BusLogEntry entry = {op, result, static_cast<uint16_t>(length), capacity};
  RtlCopyMemory(slot->log + slot->logLength, &entry, sizeof entry);
  if (length) RtlCopyMemory(slot->log + slot->logLength + sizeof entry, bytes, length);
  slot->logLength += need;
}

// ---- plugging -----------------------------------------------------------------------------

void InvalidateBus() {
  PDEVICE_OBJECT bus = g_bus;
  if (bus)
    IoInvalidateDeviceRelations(static_cast<BusExt*>(bus->DeviceExtension)->pdo, BusRelations);
}

NTSTATUS PlugChild(uint32_t index, uint32_t mode) {
  WCHAR nameBuffer[48];
  LONG n = InterlockedIncrement(&g_childNames);
  static const WCHAR kPrefix[] = L"\\Device\\TokenBusChild";
  ULONG at = 0;
  for (; kPrefix[at]; at++) nameBuffer[at] = kPrefix[at];
  WCHAR digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<WCHAR>(L'0' + n % 10);
    n /= 10;
  } while (n);
  while (count) nameBuffer[at++] = digits[--count];
  nameBuffer[at] = 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, nameBuffer);

  PDEVICE_OBJECT child;
  NTSTATUS status = IoCreateDevice(g_driver, sizeof(ChildExt), &name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &child);
  if (!NT_SUCCESS(status)) return status;
  ChildExt* ext = static_cast<ChildExt*>(child->DeviceExtension);
  RtlZeroMemory(ext, sizeof *ext);
  ext->role = ROLE_CHILD;
  ext->slot = index;
  ext->mode = mode;
  ext->onBus = TRUE;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    Locked lock;
    if (g_slots[index].child) {
      status = STATUS_DEVICE_BUSY;
    } else {
      g_slots[index].child = child;
      g_slots[index].plugs++;
    }
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(child);
    return status;
  }
  InvalidateBus();
  return STATUS_SUCCESS;
}

NTSTATUS UnplugChild(uint32_t index) {
  {
    Locked lock;
    PDEVICE_OBJECT child = g_slots[index].child;
    if (!child) return STATUS_NO_SUCH_DEVICE;
    static_cast<ChildExt*>(child->DeviceExtension)->onBus = FALSE;
    g_slots[index].child = nullptr;
  }
  InvalidateBus();
  return STATUS_SUCCESS;
}

// Pull the token out and plug it in again: an accepted mode request takes effect.
NTSTATUS Reattach(uint32_t index) {
  UnplugChild(index);
  LARGE_INTEGER pause;
  pause.QuadPart = -20 * 10000LL;  // 20 ms out of the port
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  uint32_t mode;
  {
    Locked lock;
    TokenReattach(&g_slots[index].token);
    g_slots[index].reattachQueued = FALSE;
    mode = g_slots[index].token.mode;
  }
  return PlugChild(index, mode);
}

struct ReattachWork {
  PIO_WORKITEM item;
  uint32_t index;
};

void NTAPI RunReattach(PDEVICE_OBJECT, PVOID context) {
  ReattachWork* work = static_cast<ReattachWork*>(context);
  uint32_t delay;
  {
    Locked lock;
    delay = g_slots[work->index].faults.reattachDelay;
  }
  LARGE_INTEGER wait;
  wait.QuadPart = -static_cast<LONGLONG>(delay) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
  Reattach(work->index);
  IoFreeWorkItem(work->item);
  ExFreePool(work);
}

// After each request: a newly accepted mode request re-attaches the token after the delay
// that the harness set (none: the harness does it).
void WatchModeRequest(uint32_t index) {
  BOOLEAN queue = FALSE;
  {
    Locked lock;
    Slot* slot = &g_slots[index];
    if (slot->token.modeRequests != slot->modeRequestsSeen) {
      slot->modeRequestsSeen = slot->token.modeRequests;
      if (slot->faults.reattachDelay && !slot->reattachQueued) {
        slot->reattachQueued = TRUE;
        queue = TRUE;
      }
    }
  }
  if (!queue || !g_bus) return;
  ReattachWork* work = static_cast<ReattachWork*>(ExAllocatePool(NonPagedPool, sizeof *work));
  if (!work) return;
  work->index = index;
  work->item = IoAllocateWorkItem(g_bus);
  if (!work->item) {
    ExFreePool(work);
    return;
  }
  IoQueueWorkItem(work->item, RunReattach, DelayedWorkQueue, work);
}

// ---- pulled out in the middle of a request ------------------------------------------------

// Control request value 7: 40 01 07 00 ... on the driver road, report 128 with value 7 on HID.
bool IsModeRequest(uint8_t op, const uint8_t* bytes, uint32_t length) {
  if (op == BUS_LOG_SET_FEATURE) return length >= 3 && bytes[0] == 0x80 && bytes[2] == 0x07;
  return length >= 4 && bytes[1] == 0x01 && bytes[2] == 0x07 && bytes[3] == 0x00;
}

// Caller holds g_lock. True when this request is the one the harness wants the token pulled
// out in the middle of: it is logged as not answered and the fault is used up.
bool TakePull(Slot* slot, uint8_t op, const uint8_t* bytes, uint32_t length, uint32_t capacity,
              uint32_t* delay) {
  if (!slot->faults.pullDelay || !IsModeRequest(op, bytes, length)) return false;
  *delay = slot->faults.pullDelay;
  slot->faults.pullDelay = 0;
  LogEntry(slot, op, 0, bytes, length, capacity);
  return true;
}

struct PullWork {
  PIO_WORKITEM item;
  uint32_t index;
  uint32_t delay;
  PIRP irp;
};

void NTAPI RunPull(PDEVICE_OBJECT, PVOID context) {
  PullWork* work = static_cast<PullWork*>(context);
  LARGE_INTEGER wait;
  wait.QuadPart = -static_cast<LONGLONG>(work->delay) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
  UnplugChild(work->index);
  Complete(work->irp, STATUS_DEVICE_NOT_CONNECTED);
  IoFreeWorkItem(work->item);
  ExFreePool(work);
}

// The token is pulled out `delay` ms from now; until then the request stays unanswered.
// Held off the dispatching thread, so the PnP requests of the removal still get through.
NTSTATUS HoldAndPull(uint32_t index, PIRP irp, uint32_t delay) {
  PullWork* work = static_cast<PullWork*>(ExAllocatePool(NonPagedPool, sizeof *work));
  PIO_WORKITEM item = work && g_bus ? IoAllocateWorkItem(g_bus) : nullptr;
  if (!item) {
    if (work) ExFreePool(work);
    UnplugChild(index);
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  *work = {item, index, delay, irp};
  IoMarkIrpPending(irp);
  IoQueueWorkItem(item, RunPull, DelayedWorkQueue, work);
  return STATUS_PENDING;
}

// ---- the bus's control requests -----------------------------------------------------------

NTSTATUS BusControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* buffer = irp->AssociatedIrp.SystemBuffer;

  switch (code) {
    case IOCTL_TOKENBUS_PLUG: {
      if (inLength < sizeof(BusPlug)) return Complete(irp, STATUS_INVALID_PARAMETER);
      BusPlug plug;
      RtlCopyMemory(&plug, buffer, sizeof plug);
      if (plug.faults.slot >= BUS_SLOTS ||
          (plug.mode != TOKEN_MODE_HID && plug.mode != TOKEN_MODE_USB))
        return Complete(irp, STATUS_INVALID_PARAMETER);
      {
        Locked lock;
        Slot* slot = &g_slots[plug.faults.slot];
        if (slot->child) return Complete(irp, STATUS_DEVICE_BUSY);
        TokenInit(&slot->token, &plug.config, static_cast<uint8_t>(plug.mode));
        slot->faults = plug.faults;
        slot->modeRequestsSeen = 0;
        slot->reattachQueued = FALSE;
        slot->logLength = 0;
        slot->logLost = 0;
        slot->plugs = 0;
      }
      return Complete(irp, PlugChild(plug.faults.slot, plug.mode));
    }
    case IOCTL_TOKENBUS_UNPLUG:
    case IOCTL_TOKENBUS_REATTACH: {
      if (inLength < sizeof(BusSlot)) return Complete(irp, STATUS_INVALID_PARAMETER);
      uint32_t index = static_cast<BusSlot*>(buffer)->slot;
      if (index >= BUS_SLOTS) return Complete(irp, STATUS_INVALID_PARAMETER);
      return Complete(irp, code == IOCTL_TOKENBUS_UNPLUG ? UnplugChild(index) : Reattach(index));
    }
    case IOCTL_TOKENBUS_CONFIGURE: {
      if (inLength < sizeof(BusFaults)) return Complete(irp, STATUS_INVALID_PARAMETER);
      BusFaults faults = *static_cast<BusFaults*>(buffer);
      if (faults.slot >= BUS_SLOTS) return Complete(irp, STATUS_INVALID_PARAMETER);
      Locked lock;
      g_slots[faults.slot].faults = faults;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_TOKENBUS_QUERY: {
      if (inLength < sizeof(BusSlot) || outLength < sizeof(BusStatus))
        return Complete(irp, STATUS_INVALID_PARAMETER);
      BusSlot ask = *static_cast<BusSlot*>(buffer);
      if (ask.slot >= BUS_SLOTS) return Complete(irp, STATUS_INVALID_PARAMETER);
      Locked lock;
      Slot* slot = &g_slots[ask.slot];
      BusStatus status = {};
      status.present = slot->child != nullptr;
      status.mode = slot->token.mode;
      status.requestedMode = slot->token.requestedMode;
      status.requests = slot->token.requests;
      status.modeRequests = slot->token.modeRequests;
      status.unpairedReads = slot->token.unpairedReads;
      status.plugs = slot->plugs;
      status.logLost = slot->logLost;
      uint32_t room = outLength - sizeof status;
      status.logLength = slot->logLength < room ? slot->logLength : room;
      uint8_t* out = static_cast<uint8_t*>(buffer);
      RtlCopyMemory(out, &status, sizeof status);
      RtlCopyMemory(out + sizeof status, slot->log, status.logLength);
      if (ask.clearLog) {
        slot->logLength = 0;
        slot->logLost = 0;
      }
      return Complete(irp, STATUS_SUCCESS, sizeof status + status.logLength);
    }
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// ---- vendor-driver mode: the maker's four I/O controls ------------------------------------

NTSTATUS VendorControl(ChildExt* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR count = 0;
  // Buffered I/O shares one system buffer: keep the input before writing the reply.
  uint8_t input[kSendSetupMax];
  uint32_t pull = 0;

  {
    Locked lock;
    Slot* slot = &g_slots[ext->slot];
    if (ext->removed || slot->child == nullptr ||
        slot->child->DeviceExtension != static_cast<void*>(ext))
      return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    Token* token = &slot->token;
    switch (code) {
      case IOCTL_TOKEN_SEND_SETUP:
      case IOCTL_TOKEN_TRANSACT: {
        uint8_t op = code == IOCTL_TOKEN_SEND_SETUP ? BUS_LOG_SEND_SETUP : BUS_LOG_TRANSACT;
        if (inLength < kHeaderSize || inLength > kSendSetupMax) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        RtlCopyMemory(input, buffer, inLength);
        if (TakePull(slot, op, input, inLength, outLength, &pull)) break;
        if (code == IOCTL_TOKEN_TRANSACT && (slot->faults.refuse & BUS_REFUSE_TRANSACT)) {
          LogEntry(slot, op, 0, input, inLength, outLength);
          status = STATUS_INVALID_DEVICE_REQUEST;
          break;
        }
        int taken = TokenRequest(token, input, input + kHeaderSize, inLength - kHeaderSize);
        LogEntry(slot, op, taken ? 1 : 0, input, inLength, outLength);
        if (!taken) {
          status = STATUS_UNSUCCESSFUL;
          break;
        }
        if (code == IOCTL_TOKEN_TRANSACT) count = TokenReadReply(token, buffer, outLength);
        break;
      }
      case IOCTL_TOKEN_RECEIVE: {
        if (inLength != kHeaderSize) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        RtlCopyMemory(input, buffer, kHeaderSize);
        uint32_t asked = input[6] | (input[7] << 8);
        LogEntry(slot, BUS_LOG_RECEIVE, 1, input, kHeaderSize, outLength);
        count = TokenReadReply(token, buffer, asked < outLength ? asked : outLength);
        break;
      }
      case IOCTL_TOKEN_READ_ATR: {
        // The driver keeps the answer-to-reset from attach time: reading it leaves any reply
        // that waits for the host untouched.
        BOOLEAN refused =
            (slot->faults.refuse & BUS_REFUSE_READ_ATR) || token->config.atrLength == 0;
        LogEntry(slot, BUS_LOG_READ_ATR, refused ? 0 : 1, nullptr, 0, outLength);
        if (refused) {
          status = STATUS_INVALID_DEVICE_REQUEST;
          break;
        }
        count = token->config.atrLength < outLength ? token->config.atrLength : outLength;
        RtlCopyMemory(buffer, token->config.atr, count);
        break;
      }
      default:
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  if (pull) return HoldAndPull(ext->slot, irp, pull);
  WatchModeRequest(ext->slot);
  return Complete(irp, status, NT_SUCCESS(status) ? count : 0);
}

// ---- HID mode: the minidriver's internal requests, handed down by tokenhid.sys -------------

void BuildReportDescriptor() {
  uint8_t* d = g_reportDescriptor;
  ULONG n = 0;
  const uint8_t head[] = {
      0x06, 0x00, 0xFF,  // usage page: vendor defined
      0x09, 0x01,        // usage 1
      0xA1, 0x01,        // collection: application
      0x15, 0x00,        // logical minimum 0
      0x26, 0xFF, 0x00,  // logical maximum 255
      0x75, 0x08,        // report size: 8 bits
  };
  for (uint8_t byte : head) d[n++] = byte;
  for (uint32_t id = 1; id <= 128; id++) {
    uint32_t length = TokenHidReportLength(id);
    if (!length) continue;
    uint32_t reportCount = length - 1;  // the ID byte is not counted
    d[n++] = 0x85;                      // report ID
    d[n++] = static_cast<uint8_t>(id);
    d[n++] = 0x09;  // usage 1
    d[n++] = 0x01;
    d[n++] = 0x96;  // report count, two bytes
    d[n++] = static_cast<uint8_t>(reportCount);
    d[n++] = static_cast<uint8_t>(reportCount >> 8);
    d[n++] = 0xB1;  // feature: data, variable, absolute
    d[n++] = 0x02;
  }
  d[n++] = 0xC0;  // end collection
  g_reportDescriptorLength = n;
}

void NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ChildExt* ext = static_cast<ChildExt*>(device->DeviceExtension);
  {
    Locked lock;
    if (ext->pendingRead == irp) ext->pendingRead = nullptr;
  }
  Complete(irp, STATUS_CANCELLED);
}

// The HID class driver keeps one read waiting all the time; the token has no input reports,
// so the read is held and completed only when the device goes away.
void CompletePendingRead(ChildExt* ext) {
  PIRP irp;
  {
    Locked lock;
    irp = ext->pendingRead;
    ext->pendingRead = nullptr;
  }
  if (irp && IoSetCancelRoutine(irp, nullptr)) Complete(irp, STATUS_DELETE_PENDING);
}

NTSTATUS CopyOut(PIRP irp, const void* data, ULONG length) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < length)
    return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  RtlCopyMemory(irp->UserBuffer, data, length);
  return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS CopyString(PIRP irp, const char* text) {
  WCHAR wide[64];
  ULONG n = 0;
  for (; text[n] && n < 63; n++) wide[n] = static_cast<WCHAR>(text[n]);
  wide[n] = 0;
  return CopyOut(irp, wide, (n + 1) * sizeof(WCHAR));
}

NTSTATUS HidControl(PDEVICE_OBJECT device, ChildExt* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

  switch (code) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
      HID_DESCRIPTOR descriptor = {};
      descriptor.bLength = sizeof descriptor;
      descriptor.bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
      descriptor.bcdHID = 0x0100;
      descriptor.bNumDescriptors = 1;
      descriptor.DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
      descriptor.DescriptorList[0].wReportLength = static_cast<USHORT>(g_reportDescriptorLength);
      return CopyOut(irp, &descriptor, sizeof descriptor);
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
      return CopyOut(irp, g_reportDescriptor, g_reportDescriptorLength);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
      HID_DEVICE_ATTRIBUTES attributes = {};
      attributes.Size = sizeof attributes;
      attributes.VendorID = kVendorId;
      attributes.ProductID = kProductId;
      attributes.VersionNumber = 0x0100;
      return CopyOut(irp, &attributes, sizeof attributes);
    }
    case IOCTL_HID_GET_STRING: {
      // Wine asks for strings 1 to 3, Windows for 14 to 16 (MinGW numbers its names wrongly).
      ULONG which = reinterpret_cast<ULONG_PTR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      switch (which & 0xFFFF) {
        case 1:
        case 14:
          return CopyString(irp, "tokenmode tests");
        case 2:
        case 15:
          return CopyString(irp, "Virtual token");
        case 3:
        case 16: {
          char serial[] = "T0";
          serial[1] = static_cast<char>('0' + ext->slot);
          return CopyString(irp, serial);
        }
      }
      return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IOCTL_HID_READ_REPORT: {
      {
        Locked lock;
        if (!ext->removed && !ext->pendingRead) {
          IoMarkIrpPending(irp);
          (void)IoSetCancelRoutine(irp, CancelRead);
          if (!irp->Cancel || !IoSetCancelRoutine(irp, nullptr)) {
            ext->pendingRead = irp;
            return STATUS_PENDING;
          }
        }
      }
      return Complete(irp, STATUS_DELETE_PENDING);
    }
    case IOCTL_HID_SET_FEATURE:
    case IOCTL_HID_GET_FEATURE: {
      HID_XFER_PACKET* packet = static_cast<HID_XFER_PACKET*>(irp->UserBuffer);
      if (!packet || !packet->reportBuffer) return Complete(irp, STATUS_INVALID_PARAMETER);
      int ok;
      ULONG_PTR count = 0;
      uint32_t pull = 0;
      {
        Locked lock;
        Slot* slot = &g_slots[ext->slot];
        if (ext->removed || slot->child != device)
          return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        if (code == IOCTL_HID_SET_FEATURE &&
            TakePull(slot, BUS_LOG_SET_FEATURE, packet->reportBuffer, packet->reportBufferLen,
                     packet->reportBufferLen, &pull)) {
          ok = 0;
        } else if (code == IOCTL_HID_SET_FEATURE) {
          ok = TokenHidSetFeature(&slot->token, packet->reportBuffer, packet->reportBufferLen);
          LogEntry(slot, BUS_LOG_SET_FEATURE, ok ? 1 : 0, packet->reportBuffer,
                   packet->reportBufferLen, packet->reportBufferLen);
          count = packet->reportBufferLen;
        } else {
          packet->reportBuffer[0] = packet->reportId;
          ok = TokenHidGetFeature(&slot->token, packet->reportBuffer, packet->reportBufferLen);
          LogEntry(slot, BUS_LOG_GET_FEATURE, ok ? 1 : 0, &packet->reportId, 1,
                   packet->reportBufferLen);
          count = ok ? packet->reportBufferLen : 0;
        }
      }
      if (pull) return HoldAndPull(ext->slot, irp, pull);
      WatchModeRequest(ext->slot);
      return Complete(irp, ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, count);
    }
  }
  return Complete(irp, STATUS_NOT_SUPPORTED);
}

// ---- PnP -----------------------------------------------------------------------------------

NTSTATUS ReturnIds(PIRP irp, const WCHAR* first, const WCHAR* second) {
  ULONG a = 0, b = 0;
  while (first[a]) a++;
  if (second)
    while (second[b]) b++;
  ULONG chars = a + 1 + (second ? b + 1 : 0) + 1;
  WCHAR* out = static_cast<WCHAR*>(ExAllocatePool(PagedPool, chars * sizeof(WCHAR)));
  if (!out) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  ULONG n = 0;
  for (ULONG i = 0; i <= a; i++) out[n++] = first[i];
  if (second)
    for (ULONG i = 0; i <= b; i++) out[n++] = second[i];
  out[n] = 0;
  return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(out));
}

NTSTATUS ChildQueryId(ChildExt* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // Wine names the HID device after the text behind the last backslash of this ID, so it
  // carries the token's vendor and product; Windows would take them from the attributes.
  const WCHAR* device =
      ext->mode == TOKEN_MODE_HID ? L"TOKENBUS\\VID_0471&PID_485E" : L"TOKENBUS\\VENDORMODE";
  WCHAR instance[3] = {L'T', static_cast<WCHAR>(L'0' + ext->slot), 0};
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      return ReturnIds(irp, device, nullptr);
    case BusQueryHardwareIDs:
      return ReturnIds(irp, device, nullptr);
    case BusQueryCompatibleIDs:
      return ReturnIds(irp, L"TOKENBUS\\TOKEN", nullptr);
    case BusQueryInstanceID:
      return ReturnIds(irp, instance, nullptr);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

void InterfaceOff(ChildExt* ext) {
  if (!ext->interfaceOn) return;
  IoSetDeviceInterfaceState(&ext->interfaceName, FALSE);
  ext->interfaceOn = FALSE;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, ChildExt* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      return ChildQueryId(ext, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = ext->mode == TOKEN_MODE_USB;
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->SilentInstall = 1;
      caps->UniqueID = 1;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
      if (ext->mode == TOKEN_MODE_USB && !ext->interfaceOn) {
        if (!ext->interfaceName.Buffer) {
          NTSTATUS status =
              IoRegisterDeviceInterface(device, &kVendorInterface, nullptr, &ext->interfaceName);
          if (!NT_SUCCESS(status)) return Complete(irp, status);
        }
        IoSetDeviceInterfaceState(&ext->interfaceName, TRUE);
        ext->interfaceOn = TRUE;
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      ext->removed = TRUE;
      InterfaceOff(ext);
      CompletePendingRead(ext);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      InterfaceOff(ext);
      CompletePendingRead(ext);
      BOOLEAN gone;
      {
        Locked lock;
        gone = !ext->onBus;
        if (gone) ext->removed = TRUE;
      }
      Complete(irp, STATUS_SUCCESS);
      if (gone) {
        if (ext->interfaceName.Buffer) RtlFreeUnicodeString(&ext->interfaceName);
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS NTAPI ForwardedDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(BusExt* ext, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardedDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(BusExt* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS BusRelationsReply(BusExt* ext, PIRP irp) {
  ULONG size = sizeof(DEVICE_RELATIONS) + BUS_SLOTS * sizeof(PDEVICE_OBJECT);
  PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(PagedPool, size));
  if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  relations->Count = 0;
  {
    Locked lock;
    for (uint32_t i = 0; i < BUS_SLOTS; i++) {
      if (!g_slots[i].child) continue;
      ObReferenceObject(g_slots[i].child);
      relations->Objects[relations->Count++] = g_slots[i].child;
    }
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(ext, irp);
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, BusExt* ext, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, ForwardAndWait(ext, irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        return BusRelationsReply(ext, irp);
      return PassDown(ext, irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
      {
        Locked lock;
        for (uint32_t i = 0; i < BUS_SLOTS; i++) {
          if (!g_slots[i].child) continue;
          static_cast<ChildExt*>(g_slots[i].child->DeviceExtension)->onBus = FALSE;
          g_slots[i].child = nullptr;
        }
      }
      g_bus = nullptr;
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(ext, irp);
      UNICODE_STRING link;
      RtlInitUnicodeString(&link, L"\\DosDevices\\TokenBus");
      IoDeleteSymbolicLink(&link);
      IoDetachDevice(ext->lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      return PassDown(ext, irp);
  }
}

// ---- dispatch ------------------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  Role role = *static_cast<Role*>(device->DeviceExtension);
  if (role == ROLE_BUS) return BusPnp(device, static_cast<BusExt*>(device->DeviceExtension), irp);
  return ChildPnp(device, static_cast<ChildExt*>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  Role role = *static_cast<Role*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  if (role == ROLE_BUS) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<BusExt*>(device->DeviceExtension)->lower, irp);
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  Role role = *static_cast<Role*>(device->DeviceExtension);
  // A token that is gone opens no more; closing an old handle always succeeds.
  if (role == ROLE_CHILD && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE &&
      static_cast<ChildExt*>(device->DeviceExtension)->removed)
    return Complete(irp, STATUS_NO_SUCH_DEVICE);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  Role role = *static_cast<Role*>(device->DeviceExtension);
  if (role == ROLE_BUS) return BusControl(irp);
  ChildExt* ext = static_cast<ChildExt*>(device->DeviceExtension);
  if (ext->mode != TOKEN_MODE_USB) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return VendorControl(ext, irp);
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  Role role = *static_cast<Role*>(device->DeviceExtension);
  ChildExt* ext = static_cast<ChildExt*>(device->DeviceExtension);
  if (role != ROLE_CHILD || ext->mode != TOKEN_MODE_HID)
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  return HidControl(device, ext, irp);
}

NTSTATUS NTAPI AddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (g_bus) return STATUS_DEVICE_BUSY;  // one bus per machine
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\TokenBus");
  RtlInitUnicodeString(&link, L"\\DosDevices\\TokenBus");
  PDEVICE_OBJECT fdo;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(BusExt), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  BusExt* ext = static_cast<BusExt*>(fdo->DeviceExtension);
  ext->role = ROLE_BUS;
  ext->pdo = pdo;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  IoCreateSymbolicLink(&link, &name);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_bus = fdo;
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_driver = driver;
  KeInitializeSpinLock(&g_lock);
  BuildReportDescriptor();
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->DriverExtension->AddDevice = AddBus;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
