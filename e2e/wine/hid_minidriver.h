// What a HID minidriver needs from the DDK that MinGW-w64 does not ship: its hidclass.h has
// no minidriver structures and numbers the minidriver's internal controls 0 to 5, which is
// wrong. These follow the public DDK layout.
#pragma once

#include <ntddk.h>
// clang-format off
#include <hidusage.h>
#include <hidclass.h>
// clang-format on

#undef IOCTL_HID_GET_STRING
#undef IOCTL_HID_GET_DEVICE_ATTRIBUTES
#undef IOCTL_HID_GET_DEVICE_DESCRIPTOR
#undef IOCTL_HID_READ_REPORT
#undef IOCTL_HID_WRITE_REPORT
#undef IOCTL_HID_GET_REPORT_DESCRIPTOR

#define HID_MINI_CTL(n) CTL_CODE(FILE_DEVICE_KEYBOARD, (n), METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR HID_MINI_CTL(0)
#define IOCTL_HID_GET_REPORT_DESCRIPTOR HID_MINI_CTL(1)
#define IOCTL_HID_READ_REPORT HID_MINI_CTL(2)
#define IOCTL_HID_WRITE_REPORT HID_MINI_CTL(3)
#define IOCTL_HID_GET_STRING HID_MINI_CTL(4)
#define IOCTL_HID_ACTIVATE_DEVICE HID_MINI_CTL(7)
#define IOCTL_HID_DEACTIVATE_DEVICE HID_MINI_CTL(8)
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES HID_MINI_CTL(9)

#define HID_REVISION 0x00000001
#define HID_HID_DESCRIPTOR_TYPE 0x21
#define HID_REPORT_DESCRIPTOR_TYPE 0x22

struct HID_MINIDRIVER_REGISTRATION {
  ULONG Revision;
  PDRIVER_OBJECT DriverObject;
  PUNICODE_STRING RegistryPath;
  ULONG DeviceExtensionSize;
  BOOLEAN DevicesArePolled;
  UCHAR Reserved[3];
};

struct HID_DEVICE_EXTENSION {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  PVOID MiniDeviceExtension;
};

struct HID_DEVICE_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
  USHORT Reserved[11];
};

#pragma pack(push, 1)
struct HID_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdHID;
  UCHAR bCountry;
  UCHAR bNumDescriptors;
  struct {
    UCHAR bReportType;
    USHORT wReportLength;
  } DescriptorList[1];
};
#pragma pack(pop)

extern "C" NTSTATUS NTAPI HidRegisterMinidriver(HID_MINIDRIVER_REGISTRATION* registration);
