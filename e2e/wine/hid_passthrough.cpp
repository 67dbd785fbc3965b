// tokenhid.sys: the HID minidriver of a token in HID mode. The token itself lives in the bus
// driver's child device, which answers the minidriver's internal controls; this driver only
// registers with the HID class driver and hands every request down to that child.
#include "e2e/wine/hid_minidriver.h"

static NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  HID_DEVICE_EXTENSION* ext = static_cast<HID_DEVICE_EXTENSION*>(device->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI PassDownPower(PDEVICE_OBJECT device, PIRP irp) {
  HID_DEVICE_EXTENSION* ext = static_cast<HID_DEVICE_EXTENSION*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT fdo) {
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI Unload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  driver->MajorFunction[IRP_MJ_PNP] = PassDown;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
  driver->MajorFunction[IRP_MJ_POWER] = PassDownPower;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;

  HID_MINIDRIVER_REGISTRATION registration = {};
  registration.Revision = HID_REVISION;
  registration.DriverObject = driver;
  registration.RegistryPath = registryPath;
  registration.DeviceExtensionSize = 0;
  registration.DevicesArePolled = FALSE;
  return HidRegisterMinidriver(&registration);
}
