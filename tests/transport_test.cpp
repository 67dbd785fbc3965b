#include <gtest/gtest.h>

#include <cstring>

#include "io/hid_transport.h"
#include "io/usb_transport.h"
#include "tests/library_fixture.h"

namespace {

// The token's framing table, as the token's makers publish it: the data lengths each APDU
// report carries, its ID and its length.
struct FramingRow {
  uint32_t first, last;
  uint8_t id;
  uint32_t length;
};
constexpr FramingRow kFramingTable[] = {
    {0, 6, 20, 8},      {7, 14, 19, 16},    {15, 22, 18, 24},   {23, 30, 17, 32},
    {31, 38, 16, 40},   {39, 46, 15, 48},   {47, 54, 14, 56},   {55, 62, 13, 64},
    {63, 78, 12, 80},   {79, 94, 11, 96},   {95, 110, 10, 112}, {111, 126, 9, 128},
    {127, 142, 8, 144}, {143, 158, 7, 160}, {159, 174, 6, 176}, {175, 190, 5, 192},
    {191, 206, 4, 208}, {207, 222, 3, 224}, {223, 238, 2, 240}, {239, 255, 1, 258},
};

TEST(HidFraming, EveryDataLengthGetsTheReportOfTheTable) {
  for (const FramingRow& row : kFramingTable) {
    for (uint32_t l = row.first; l <= row.last; ++l) {
      uint8_t id = 0;
      uint32_t length = 0;
      HidApduReportFraming(l, &id, &length);
      EXPECT_EQ(row.id, id) << "L = " << l;
      EXPECT_EQ(row.length, length) << "L = " << l;
    }
  }
}

class Transport : public LibraryTest {
 protected:
  Handle OpenPath(int token) {
    Guid guid;
    GetHidInterfaceGuid(&guid);  // looks the HID entry points up
    const Handle handle =
        Platform().CreateFileA(machine.PathOf(token).c_str(), kGenericRead, kFileShareRead);
    EXPECT_NE(kInvalidHandle, handle);
    handles_.push_back(handle);
    machine.ClearLog();
    return handle;
  }
  void TearDown() override {
    for (Handle handle : handles_) Platform().CloseHandle(handle);
    LibraryTest::TearDown();
  }
  std::vector<Handle> handles_;
};

ControlRequest Apdu(uint16_t length) {
  return ControlRequest{REQUEST_TYPE_VENDOR_OUT, REQUEST_APDU, 0, 0, length};
}
ControlRequest ControlHeader(uint16_t value, uint16_t length) {
  return ControlRequest{REQUEST_TYPE_VENDOR_OUT, REQUEST_CONTROL, value, 0, length};
}

TEST_F(Transport, HidReportsReachTheClassDriverAtTheTokensSizes) {
  machine.AddToken(Hid());
  const Handle device = OpenPath(0);
  std::vector<uint8_t> data(255);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  // Every data length is accepted by the class driver, which refuses any other size.
  for (uint16_t l = 0; l <= 255; ++l) {
    ASSERT_TRUE(HidSendReport(device, Apdu(l), data.data())) << l;
  }
  const auto& log = machine.Log();
  ASSERT_EQ(256u, log.size());
  EXPECT_EQ("14 05 01 02 03 04 05 00", Hex(log[5].sent));
  EXPECT_EQ(8u, log[6].sent.size());
  EXPECT_EQ(16u, log[7].sent.size());
  EXPECT_EQ(64u, log[62].sent.size());
  EXPECT_EQ(80u, log[63].sent.size());
  EXPECT_EQ(240u, log[238].sent.size());
  EXPECT_EQ("01 FF 01", Hex(log[255].sent.data(), 3));
  EXPECT_EQ(258u, log[255].sent.size());
}

TEST_F(Transport, HidControlReports) {
  machine.AddToken(Hid());
  const Handle device = OpenPath(0);
  const uint8_t filler[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t hidMode = 0xAA;
  ASSERT_TRUE(HidSendReport(device, ControlHeader(2, 8), filler));
  ASSERT_TRUE(HidSendReport(device, ControlHeader(0x0107, 1), &hidMode));
  const auto& log = machine.Log();
  EXPECT_EQ("80 09 02 01 02 03 04 05 06 07 08 00", Hex(log[0].sent.data(), 12));
  EXPECT_EQ("80 02 07 AA 00", Hex(log[1].sent.data(), 5)) << "the value's high byte is not sent";
  EXPECT_EQ(258u, log[1].sent.size());

  // Byte 1 counts the value byte and the data: 255 data bytes cannot be framed.
  std::vector<uint8_t> data(255);
  EXPECT_FALSE(HidSendReport(device, ControlHeader(7, 255), data.data()));
  HidSendReport(device, ControlHeader(7, 254), data.data());  // the token refuses it
  EXPECT_EQ(3u, machine.Log().size());
}

TEST_F(Transport, HidReceiveDeliversWhatFits) {
  machine.AddToken(Hid());
  const Handle device = OpenPath(0);
  const uint8_t query[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};  // answered with 3 bytes
  for (uint32_t capacity : {255u, 2u, 0u}) {
    ASSERT_TRUE(HidSendReport(device, Apdu(6), query));
    uint8_t reply[256] = {};
    uint32_t length = capacity;
    ASSERT_TRUE(HidReceiveReport(device, reply, &length));
    EXPECT_EQ(std::min(3u, capacity), length);
    EXPECT_EQ(0, memcmp("\x05\x90\x00", reply, length));
  }
}

TEST_F(Transport, HidGetTimeoutsAreRetriedUpToABound) {
  machine.AddToken(Hid());
  const Handle device = OpenPath(0);
  const uint8_t query[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  uint8_t reply[256];
  uint32_t length = 255;

  ASSERT_TRUE(HidSendReport(device, Apdu(6), query));
  machine.Faults(0).getTimeouts = 3;
  ASSERT_TRUE(HidReceiveReport(device, reply, &length));
  EXPECT_EQ(3u, length);
  EXPECT_EQ(4u, Sent("get-feature").size());

  // A token that never answers: the receive gives up; reply and length are left alone.
  machine.ClearLog();
  ASSERT_TRUE(HidSendReport(device, Apdu(6), query));
  machine.Faults(0).getsNeverAnswer = true;
  length = 77;
  EXPECT_FALSE(HidReceiveReport(device, reply, &length));
  EXPECT_EQ(77u, length);
  EXPECT_EQ(10u, Sent("get-feature").size());

  // Any other error ends it at once.
  machine.Faults(0).getsNeverAnswer = false;
  machine.ClearLog();
  machine.Unplug(0);
  EXPECT_FALSE(HidReceiveReport(device, reply, &length));
  EXPECT_EQ(77u, length);
  EXPECT_EQ(1u, Sent("get-feature").size());
}

TEST_F(Transport, HidGuidOnNt4IsZeroAndLoadsNothing) {
  machine.SetOs(2, 4);
  Guid guid;
  memset(&guid, 0xFF, sizeof guid);
  GetHidInterfaceGuid(&guid);
  EXPECT_EQ(Guid{}.bytes[0], guid.bytes[0]);
  EXPECT_EQ(0, memcmp(Guid{}.bytes, guid.bytes, 16));
  EXPECT_EQ(0, machine.LoadLibraryCalls());
  EXPECT_EQ(0, machine.GetProcAddressCalls());
}

TEST_F(Transport, HidLibraryIsLoadedOnce) {
  Guid guid;
  for (int i = 0; i < 3; ++i) GetHidInterfaceGuid(&guid);
  EXPECT_EQ(0xB2, guid.bytes[0]);
  EXPECT_EQ(0x30, guid.bytes[15]);
  EXPECT_EQ(1, machine.LoadLibraryCalls());
  EXPECT_EQ(3, machine.GetProcAddressCalls());
  EXPECT_EQ(0, machine.BadEntryCalls());
}

TEST_F(Transport, WithoutTheHidLibraryThereIsNoHidRoad) {
  machine.AddToken(Hid());
  machine.FailProcLookup("HidD_GetFeature");
  Guid guid;
  GetHidInterfaceGuid(&guid);
  EXPECT_EQ(0, memcmp(Guid{}.bytes, guid.bytes, 16));
  const Handle device =
      Platform().CreateFileA(machine.PathOf(0).c_str(), kGenericRead, kFileShareRead);
  handles_.push_back(device);
  const uint8_t data[8] = {};
  EXPECT_FALSE(HidSendReport(device, ControlHeader(2, 8), data));
}

TEST_F(Transport, UsbSendSetupFrameBound) {
  machine.AddToken(Usb());
  const Handle device = OpenPath(0);
  std::vector<uint8_t> data(1017, 0x33);
  uint32_t written = 0;
  // The token refuses such requests, but the frame reaches the driver whole.
  UsbSendSetup(device, Apdu(1016), data.data(), &written);
  ASSERT_EQ(1u, machine.Log().size());
  EXPECT_EQ(1024u, machine.Log()[0].sent.size());
  EXPECT_FALSE(UsbSendSetup(device, Apdu(1017), data.data(), &written));
  EXPECT_EQ(1u, machine.Log().size()) << "no driver call past the frame";
  UsbSendSetup(device, ControlHeader(2, 0), nullptr, &written);
  EXPECT_EQ("40 01 02 00 00 00 00 00", Hex(machine.Log().at(1).sent)) << "the header alone";
}

TEST_F(Transport, UsbReceiveRetriesAndCopiesWhatCame) {
  machine.AddToken(Usb());
  const Handle device = OpenPath(0);
  const uint8_t query[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  uint32_t count = 0;
  ASSERT_TRUE(UsbSendSetup(device, Apdu(6), query, &count));
  machine.Faults(0).receiveFailures = 2;
  uint8_t reply[256];
  memset(reply, 0xEE, sizeof reply);
  const ControlRequest read{REQUEST_TYPE_VENDOR_IN, REQUEST_APDU, 0, 0, 255};
  ASSERT_TRUE(UsbReceive(device, read, reply, &count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ("05 90 00 EE", Hex(reply, 4));
  EXPECT_EQ(3u, Sent("receive").size());

  ASSERT_TRUE(UsbSendSetup(device, Apdu(6), query, &count));
  machine.Faults(0).receiveFailures = 10;
  memset(reply, 0xEE, sizeof reply);
  EXPECT_FALSE(UsbReceive(device, read, reply, &count));
  EXPECT_EQ(0xEE, reply[0]);
  const ControlRequest tooLong{REQUEST_TYPE_VENDOR_IN, REQUEST_APDU, 0, 0, 513};
  machine.ClearLog();
  EXPECT_FALSE(UsbReceive(device, tooLong, reply, &count));
  EXPECT_TRUE(machine.Log().empty());
}

}  // namespace
