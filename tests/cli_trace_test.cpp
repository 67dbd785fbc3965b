#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/trace.h"

namespace {

// A backend with one device file that answers each exchange from a script.
struct Fake {
  uint32_t lastError = 0;
  bool ioOk = true;
  uint8_t ioReply[4] = {0x05, 0x90, 0x00, 0xEE};
  uint32_t ioReplyLength = 3;
  bool featureOk = true;
} g_fake;

Handle FakeCreateFileA(const char* path, uint32_t, uint32_t) {
  return std::strcmp(path, "missing") == 0 ? kInvalidHandle : 7;
}
int32_t FakeCloseHandle(Handle) {
  return 1;
}
int32_t FakeDeviceIoControl(Handle, uint32_t, const void*, uint32_t, void* out, uint32_t outSize,
                            uint32_t* bytesReturned) {
  if (!g_fake.ioOk) {
    g_fake.lastError = kErrorGenFailure;
    return 0;
  }
  uint32_t n = g_fake.ioReplyLength < outSize ? g_fake.ioReplyLength : outSize;
  if (out != nullptr) std::memcpy(out, g_fake.ioReply, n);
  *bytesReturned = n;
  return 1;
}
uint32_t FakeWaitForSingleObject(Handle, uint32_t) {
  g_fake.lastError = 0;
  return kWaitObject0;
}
uint32_t FakeGetLastError() {
  return g_fake.lastError;
}
uint8_t FakeSetFeature(Proc, Handle, void*, uint32_t) {
  return g_fake.featureOk ? 1 : 0;
}
uint8_t FakeGetFeature(Proc, Handle, void* report, uint32_t length) {
  if (!g_fake.featureOk) {
    g_fake.lastError = kErrorSemTimeout;
    return 0;
  }
  auto* bytes = static_cast<uint8_t*>(report);
  std::memset(bytes, 0, length);
  bytes[0] = 1;
  bytes[1] = 2;
  bytes[2] = 0x90;
  bytes[3] = 0x00;
  return 1;
}

PlatformOps FakeOps() {
  PlatformOps ops{};
  ops.CreateFileA = FakeCreateFileA;
  ops.CloseHandle = FakeCloseHandle;
  ops.DeviceIoControl = FakeDeviceIoControl;
  ops.WaitForSingleObject = FakeWaitForSingleObject;
  ops.GetLastError = FakeGetLastError;
  ops.HidD_SetFeature = FakeSetFeature;
  ops.HidD_GetFeature = FakeGetFeature;
  return ops;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = Fake{};
    inner_ = FakeOps();
    file_ = std::tmpfile();
    ASSERT_NE(file_, nullptr);
    ops_ = &TracePlatformOps(inner_, file_);
  }
  void TearDown() override { std::fclose(file_); }

  std::string Written() {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char buffer[1024];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    return text;
  }

  PlatformOps inner_;
  std::FILE* file_ = nullptr;
  const PlatformOps* ops_ = nullptr;
};

TEST_F(TraceTest, OneLinePerIoControlNamedByItsCode) {
  Handle h = ops_->CreateFileA("\\\\?\\usb#token", kGenericRead, kFileShareRead);
  const uint8_t frame[] = {0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                           0x00, 0x80, 0xCA, 0x07, 0x00, 0x01};
  uint8_t reply[255];
  uint32_t count = 0;
  ops_->DeviceIoControl(h, 0x220028, frame, sizeof frame, reply, 255, &count);
  ops_->DeviceIoControl(h, 0x22000C, frame, 8, nullptr, 0, &count);
  ops_->DeviceIoControl(h, 0x220010, frame, 8, reply, 2, &count);  // cut to the capacity
  ops_->DeviceIoControl(h, 0x220024, nullptr, 0, reply, 255, &count);
  g_fake.ioOk = false;
  ops_->DeviceIoControl(h, 0x220028, frame, 9, reply, 255, &count);
  ops_->DeviceIoControl(h, 0x123456, nullptr, 0, nullptr, 0, &count);
  EXPECT_EQ(Written(),
            "transact \\\\?\\usb#token 400000000000050080CA070001 -> ok 059000\n"
            "send-setup \\\\?\\usb#token 4000000000000500 -> ok -\n"
            "receive \\\\?\\usb#token 4000000000000500 -> ok 0590\n"
            "read-atr \\\\?\\usb#token - -> ok 059000\n"
            "transact \\\\?\\usb#token 400000000000050080 -> fail\n"
            "ioctl-00123456 \\\\?\\usb#token - -> fail\n");
}

TEST_F(TraceTest, FeatureReportsShowTheReportSetAndTheReportGot) {
  Handle h = ops_->CreateFileA("\\\\?\\hid#token", kGenericRead, kFileShareRead);
  uint8_t report[8] = {0x14, 0x05, 0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  ops_->HidD_SetFeature(nullptr, h, report, sizeof report);
  uint8_t reply[6] = {1};
  ops_->HidD_GetFeature(nullptr, h, reply, sizeof reply);
  g_fake.featureOk = false;
  ops_->HidD_GetFeature(nullptr, h, reply, sizeof reply);
  EXPECT_EQ(Written(),
            "set-feature \\\\?\\hid#token 140580CA07000100 -> ok -\n"
            "get-feature \\\\?\\hid#token 01 -> ok 010290000000\n"
            "get-feature \\\\?\\hid#token 01 -> fail\n");
}

TEST_F(TraceTest, HandlesForgetTheirPathWhenClosed) {
  EXPECT_EQ(ops_->CreateFileA("missing", kGenericRead, 0), kInvalidHandle);
  Handle h = ops_->CreateFileA("/dev/hidraw3", kGenericRead, 0);
  uint8_t report[2] = {0x14, 0x00};
  ops_->HidD_SetFeature(nullptr, h, report, 2);
  ops_->CloseHandle(h);
  ops_->HidD_SetFeature(nullptr, h, report, 2);
  EXPECT_EQ(Written(),
            "set-feature /dev/hidraw3 1400 -> ok -\n"
            "set-feature ? 1400 -> ok -\n");
}

// The library reads the error of a failed get after the trace has written its line.
TEST_F(TraceTest, LastErrorIsTheTracedCallsEvenIfWritingChangedIt) {
  Handle h = ops_->CreateFileA("/dev/hidraw3", kGenericRead, 0);
  g_fake.featureOk = false;
  uint8_t reply[258] = {1};
  ops_->HidD_GetFeature(nullptr, h, reply, sizeof reply);
  g_fake.lastError = 0;  // as if the write of the line had reset it
  EXPECT_EQ(ops_->GetLastError(), kErrorSemTimeout);
  ops_->WaitForSingleObject(h, kInfinite);  // any later call makes the OS's value current
  g_fake.lastError = kErrorAccessDenied;
  EXPECT_EQ(ops_->GetLastError(), kErrorAccessDenied);
}

}  // namespace
