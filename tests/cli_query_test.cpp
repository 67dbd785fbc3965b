#include <gtest/gtest.h>

#include <cstring>

#include "device/query.h"
#include "device/registry.h"

namespace {

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitRegistry();
    DeviceRegistry[3].kind = DEVICE_KIND_USB;
    std::strcpy(DeviceRegistry[3].devicePath, "\\\\?\\usb#token#3");
    DeviceRegistry[126].kind = DEVICE_KIND_HID;
    std::memset(DeviceRegistry[126].devicePath, 'p', DEVICE_PATH_CAPACITY);  // no NUL
  }
  void TearDown() override { InitRegistry(); }
};

TEST_F(QueryTest, KindOfEverySlotAndBeyond) {
  EXPECT_EQ(QueryDeviceKind(3), DEVICE_KIND_USB);
  EXPECT_EQ(QueryDeviceKind(126), DEVICE_KIND_HID);
  EXPECT_EQ(QueryDeviceKind(0), DEVICE_KIND_FREE);
  EXPECT_EQ(QueryDeviceKind(127), DEVICE_KIND_FREE);
  EXPECT_EQ(QueryDeviceKind(0xFFFFFFFFu), DEVICE_KIND_FREE);
}

TEST_F(QueryTest, PathIsCopiedOnlyWhenItFits) {
  char path[DEVICE_PATH_CAPACITY];
  ASSERT_EQ(QueryDevicePath(3, path, sizeof path), RESULT_SUCCESS);
  EXPECT_STREQ(path, "\\\\?\\usb#token#3");

  const uint32_t exact = std::strlen("\\\\?\\usb#token#3") + 1;
  std::memset(path, 'x', sizeof path);
  EXPECT_EQ(QueryDevicePath(3, path, exact - 1), RESULT_BUFFER_TOO_SMALL);
  EXPECT_EQ(path[0], 'x');
  EXPECT_EQ(QueryDevicePath(3, path, exact), RESULT_SUCCESS);

  EXPECT_EQ(QueryDevicePath(0, path, sizeof path), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(QueryDevicePath(127, path, sizeof path), RESULT_INVALID_PARAMETER);
  EXPECT_EQ(QueryDevicePath(3, nullptr, 0), RESULT_INVALID_PARAMETER);
}

TEST_F(QueryTest, AnUnterminatedPathIsCutToTheField) {
  char path[DEVICE_PATH_CAPACITY];
  ASSERT_EQ(QueryDevicePath(126, path, sizeof path), RESULT_SUCCESS);
  EXPECT_EQ(std::strlen(path), DEVICE_PATH_CAPACITY - 1);
}

}  // namespace
