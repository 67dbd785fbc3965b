// Device files with share modes, named mutexes as lock files, and their names: across
// handles of one process and across processes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/linux/linux_internal.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/named_mutex.h"
#include "tests/linux_test_util.h"

namespace {

using linux_backend::LockFileName;
using linux_test::TempDir;
using linux_test::WriteFile;

const PlatformOps& Ops() {
  return LinuxPlatformOps();
}

// Runs `body` in a child process and returns its exit status (the body's result).
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

class LinuxDeviceFileTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(dir_.path(), "node", ""); }
  std::string Node() const { return dir_.path() + "/node"; }
  TempDir dir_;
};

TEST_F(LinuxDeviceFileTest, ShareModesAreKeptAcrossHandlesAndProcesses) {
  const PlatformOps& ops = Ops();
  struct Case {
    uint32_t first, second;
    bool secondOpens;
  };
  const Case cases[] = {
      {kFileShareRead, kFileShareRead, true},
      {kFileShareRead, kFileShareRead | kFileShareWrite, true},
      {kFileShareRead, 0, false},
      {0, kFileShareRead, false},
      {0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "share " << c.first << " then " << c.second);
    const Handle first = ops.CreateFileA(Node().c_str(), kGenericRead, c.first);
    ASSERT_NE(first, kInvalidHandle);
    EXPECT_NE(first, 0u);
    const Handle second = ops.CreateFileA(Node().c_str(), kGenericRead, c.second);
    EXPECT_EQ(second != kInvalidHandle, c.secondOpens);
    if (second == kInvalidHandle) {
      EXPECT_EQ(ops.GetLastError(), kErrorSharingViolation);
    } else {
      EXPECT_NE(second, first);
      EXPECT_TRUE(ops.CloseHandle(second));
    }
    // Another process meets the same lock.
    const uint32_t share = c.second;
    const std::string node = Node();
    const int child = InChild([&] {
      const Handle h = ops.CreateFileA(node.c_str(), kGenericRead, share);
      return h == kInvalidHandle ? static_cast<int>(ops.GetLastError()) : 0;
    });
    EXPECT_EQ(child, c.secondOpens ? 0 : static_cast<int>(kErrorSharingViolation));
    EXPECT_TRUE(ops.CloseHandle(first));
  }
  // With every handle closed an exclusive opening succeeds again.
  const Handle exclusive = ops.CreateFileA(Node().c_str(), kGenericRead, 0);
  EXPECT_NE(exclusive, kInvalidHandle);
  EXPECT_TRUE(ops.CloseHandle(exclusive));
  EXPECT_FALSE(ops.CloseHandle(exclusive)) << "a closed handle is not closed twice";
}

TEST_F(LinuxDeviceFileTest, OpenFailuresGiveWindowsErrors) {
  const PlatformOps& ops = Ops();
  EXPECT_EQ(ops.CreateFileA((dir_.path() + "/missing").c_str(), kGenericRead, 1), kInvalidHandle);
  EXPECT_EQ(ops.GetLastError(), kErrorFileNotFound);

  // A node only root may open: refused for an ordinary user, with a hint that names the rule.
  chmod(Node().c_str(), 0600);
  const std::string node = Node();
  const int child = InChild([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return 99;
    const Handle h = ops.CreateFileA(node.c_str(), kGenericRead, 1);
    if (h != kInvalidHandle || ops.GetLastError() != kErrorAccessDenied) return 1;
    const std::string hint = LinuxPlatformLastOpenHint();
    return hint.find(node) != std::string::npos && hint.find(kLinuxUdevRuleName) != hint.npos ? 0
                                                                                              : 2;
  });
  EXPECT_EQ(child, 0);
}

TEST_F(LinuxDeviceFileTest, DriverCodesOnAFileThatIsNoDevice) {
  const PlatformOps& ops = Ops();
  const Handle h = ops.CreateFileA(Node().c_str(), kGenericRead, 1);
  ASSERT_NE(h, kInvalidHandle);
  const uint8_t send[9] = {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA};
  const uint8_t receive[8] = {0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};
  uint8_t out[512];
  uint32_t count = 99;
  struct Case {
    const char* what;
    uint32_t code;
    const uint8_t* in;
    uint32_t inSize;
    uint32_t error;
  };
  const Case cases[] = {
      {"send reaches the kernel, which has no such ioctl", 0x22000C, send, 9, kErrorNotSupported},
      {"send whose length disagrees with its data", 0x22000C, send, 8, kErrorInvalidParameter},
      {"send shorter than a header", 0x22000C, send, 7, kErrorInvalidParameter},
      {"send with an IN header", 0x22000C, receive, 8, kErrorInvalidParameter},
      {"receive with an OUT header", 0x220010, send, 8, kErrorInvalidParameter},
      {"receive reaches the kernel", 0x220010, receive, 8, kErrorNotSupported},
      {"answer-to-reset read: not offered", 0x220024, nullptr, 0, kErrorNotSupported},
      {"one-shot exchange: not offered", 0x220028, send, 9, kErrorNotSupported},
      {"unknown code", 0x220004, send, 9, linux_backend::kErrorInvalidFunction},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ops.DeviceIoControl(h, c.code, c.in, c.inSize, out, sizeof out, &count)) << c.what;
    EXPECT_EQ(ops.GetLastError(), c.error) << c.what;
    EXPECT_EQ(count, 0u) << c.what;
  }
  EXPECT_FALSE(ops.DeviceIoControl(0, 0x22000C, send, 9, nullptr, 0, &count));
  EXPECT_EQ(ops.GetLastError(), linux_backend::kErrorInvalidHandle);

  const Module hid = ops.LoadLibraryA("hid.dll");
  uint8_t report[258] = {1};
  EXPECT_FALSE(ops.HidD_GetFeature(ops.GetProcAddress(hid, "HidD_GetFeature"), h, report, 258));
  EXPECT_EQ(ops.GetLastError(), kErrorNotSupported);
  EXPECT_FALSE(ops.HidD_SetFeature(ops.GetProcAddress(hid, "HidD_SetFeature"), h, report, 0));
  EXPECT_EQ(ops.GetLastError(), kErrorInvalidParameter);
  EXPECT_TRUE(ops.CloseHandle(h));
}

TEST(LinuxErrors, DeviceErrnosMapToTheErrorsTheLibraryTellsApart) {
  struct Case {
    int err;
    uint32_t error;
  };
  const Case cases[] = {
      {ENOENT, kErrorFileNotFound},
      {EACCES, kErrorAccessDenied},
      {EPIPE, kErrorGenFailure},
      {ETIMEDOUT, kErrorSemTimeout},
      {ENODEV, kErrorDeviceNotConnected},
      {ESHUTDOWN, kErrorDeviceNotConnected},
      {EWOULDBLOCK, kErrorSharingViolation},
      {EINVAL, kErrorInvalidParameter},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(linux_backend::ErrorFromErrno(c.err), c.error) << std::strerror(c.err);
  }
}

TEST(LinuxErrors, OnlyQuickFeatureFailuresInviteTheLibrarysRetry) {
  using std::chrono::milliseconds;
  struct Case {
    int err;
    milliseconds took;
    uint32_t error;
  };
  const Case cases[] = {
      {EIO, milliseconds(3), kErrorSemTimeout},  // the device refused: ask again
      {ETIMEDOUT, milliseconds(10), kErrorSemTimeout},
      {EIO, milliseconds(5000), kErrorGenFailure},  // the kernel gave up on a silent device
      {ETIMEDOUT, milliseconds(5000), kErrorGenFailure},
      {ENODEV, milliseconds(3), kErrorDeviceNotConnected},
      {EPIPE, milliseconds(3), kErrorGenFailure},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(linux_backend::FeatureFailure(c.err, c.took), c.error)
        << std::strerror(c.err) << " after " << c.took.count() << " ms";
  }
}

TEST(LinuxLockName, NoPathReachesTheFileSystemAndDistinctNamesStayDistinct) {
  const std::string names[] = {
      "/hidraw0",
      "/bus/usb/001/002",
      "..",
      ".",
      "../../etc/passwd",
      "a/b",
      "a_b",
      "a%2Fb",
      "a%b",
      std::string("ctl\x01\n", 5),
      "\xC3\xA9t\xC3\xA9",
      "Hidraw0",
      "hidraw0",
      std::string(300, 'x'),
      std::string(299, 'x') + "y",
      std::string(120, '/'),
  };
  std::set<std::string> seen;
  for (const std::string& name : names) {
    const std::string file = LockFileName(name);
    SCOPED_TRACE(file);
    EXPECT_FALSE(file.empty());
    EXPECT_LE(file.size(), 200u);
    EXPECT_EQ(file.find('/'), std::string::npos);
    EXPECT_NE(file[0], '.');
    for (char c : file) EXPECT_TRUE(c > 0x20 && c < 0x7F);
    EXPECT_TRUE(seen.insert(file).second) << "two names share the lock file " << file;
  }
  EXPECT_EQ(LockFileName("/hidraw0"), "%2Fhidraw0");
  EXPECT_EQ(LockFileName("usb-token.1"), "usb-token.1");
  EXPECT_EQ(LockFileName(""), "");
}

class LinuxMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { LinuxPlatformSetLockDir(dir_.path().c_str()); }
  void TearDown() override { LinuxPlatformSetLockDir(nullptr); }
  TempDir dir_;
};

TEST_F(LinuxMutexTest, HandlesOfOneNameExcludeEachOtherLikeWindowsMutexes) {
  const PlatformOps& ops = Ops();
  const Handle a = ops.CreateMutexA("/hidraw0");
  const Handle b = ops.CreateMutexA("/hidraw0");
  const Handle other = ops.CreateMutexA("/hidraw1");
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  ASSERT_NE(other, 0u);
  struct stat info {};
  EXPECT_EQ(stat((dir_.path() + "/%2Fhidraw0").c_str(), &info), 0);

  EXPECT_FALSE(ops.ReleaseMutex(a)) << "not owned yet";
  EXPECT_EQ(ops.GetLastError(), linux_backend::kErrorNotOwner);
  EXPECT_EQ(ops.WaitForSingleObject(a, kInfinite), kWaitObject0);
  EXPECT_EQ(ops.WaitForSingleObject(a, 0), kWaitObject0) << "its owner may wait again";
  EXPECT_EQ(ops.WaitForSingleObject(b, 0), kWaitTimeout);
  EXPECT_EQ(ops.WaitForSingleObject(b, 30), kWaitTimeout);
  EXPECT_EQ(ops.WaitForSingleObject(other, 0), kWaitObject0) << "another name is free";
  EXPECT_TRUE(ops.ReleaseMutex(a));
  EXPECT_EQ(ops.WaitForSingleObject(b, 0), kWaitTimeout) << "owned until released as often";
  EXPECT_TRUE(ops.ReleaseMutex(a));
  EXPECT_FALSE(ops.ReleaseMutex(a));
  EXPECT_EQ(ops.WaitForSingleObject(b, 0), kWaitObject0);
  EXPECT_TRUE(ops.ReleaseMutex(b));

  const Handle device = ops.CreateFileA((dir_.path() + "/%2Fhidraw0").c_str(), kGenericRead, 1);
  EXPECT_EQ(ops.WaitForSingleObject(device, 0), kWaitFailed) << "a device file is no mutex";
  EXPECT_FALSE(ops.ReleaseMutex(device));
  for (Handle h : {a, b, other, device}) EXPECT_TRUE(ops.CloseHandle(h));
  EXPECT_EQ(ops.CreateMutexA(""), 0u);
}

TEST_F(LinuxMutexTest, AnotherProcessWaitsAndADeadHoldersLockIsFree) {
  const PlatformOps& ops = Ops();
  int ready[2], finish[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(finish), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const Handle h = ops.CreateMutexA("/bus/usb/001/002");
    if (h == 0 || ops.WaitForSingleObject(h, kInfinite) != kWaitObject0) _exit(1);
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1 || read(finish[0], &byte, 1) != 1) _exit(2);
    _exit(0);  // dies holding the mutex
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const Handle mine = ops.CreateMutexA("/bus/usb/001/002");
  EXPECT_EQ(ops.WaitForSingleObject(mine, 20), kWaitTimeout);
  ASSERT_EQ(write(finish[1], &byte, 1), 1);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ops.WaitForSingleObject(mine, 2000), kWaitObject0) << "the kernel dropped its lock";
  EXPECT_TRUE(ops.ReleaseMutex(mine));
  EXPECT_TRUE(ops.CloseHandle(mine));
  for (int fd : {ready[0], ready[1], finish[0], finish[1]}) close(fd);
}

TEST(LinuxLockDirectory, PrivateFolderUnderTheRuntimeDirectory) {
  TempDir runtime;
  const char* saved = getenv("XDG_RUNTIME_DIR");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  EXPECT_EQ(linux_backend::LockDirectory(), runtime.path() + "/tokenmode");
  struct stat info {};
  ASSERT_EQ(stat((runtime.path() + "/tokenmode").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A folder open to others is not used; the fallback in /tmp is.
  chmod((runtime.path() + "/tokenmode").c_str(), 0777);
  EXPECT_EQ(linux_backend::LockDirectory(), "/tmp/tokenmode-" + std::to_string(geteuid()));
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
