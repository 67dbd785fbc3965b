// A simulated Windows machine with tokens attached: a faithful stand-in behind the platform
// seam for tests, the command-line tool's --simulate and the window's test variant.
//
// Tokens answer through the one token model (token/token.h). The machine plays the maker's
// USB driver (four I/O controls), the HID class driver (feature reports of exactly the
// token's sizes), SetupAPI, DOS device names, named mutexes, device files with share
// modes, LocalAlloc, last error and message boxes; it logs every exchange with a token.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "token/token.h"

namespace sim {
struct Impl;
}

enum class SimMode { kHid, kUsb };

// Further error values the simulated machine reports, as Windows does, beyond those the
// library tells apart (platform/platform.h).
struct SimError {
  static constexpr uint32_t kInvalidFunction = 1;  // an I/O control the device does not serve
  static constexpr uint32_t kPathNotFound = 3;     // a mutex name with a stray backslash
  static constexpr uint32_t kInvalidHandle = 6;
  static constexpr uint32_t kModNotFound = 126;
  static constexpr uint32_t kProcNotFound = 127;
  static constexpr uint32_t kAlreadyExists = 183;  // CreateMutexA opened an existing mutex
  static constexpr uint32_t kNotOwner = 288;       // ReleaseMutex of a mutex not owned
  static constexpr uint32_t kInvalidUserBuffer = 1784;
};

struct SimFaults {
  bool refuseTransact = false;   // the driver refuses the one-shot exchange
  bool refuseReadAtr = false;    // the driver refuses the answer-to-reset read
  uint32_t receiveFailures = 0;  // the next N driver receives fail
  uint32_t getTimeouts = 0;      // the next N feature gets time out (error 121)
  bool atrUnreadable = false;    // the token refuses to give its answer-to-reset
  bool unopenable = false;       // its device file cannot be opened
  bool getsNeverAnswer = false;  // every feature get times out
};

struct SimTokenSpec {
  SimMode mode = SimMode::kHid;
  std::string path;  // empty: a path like Windows gives for the mode
  uint16_t version = 0x0230;
  std::vector<uint8_t> identifier = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> atr;  // not empty: replaces the answer-to-reset built from the above
  uint8_t deviceType = 0x05;
  uint16_t deviceTypeStatus = 0x9000;
  std::vector<uint8_t> modeReply;
  std::string hardwareId;  // HID mode; empty: the token's own; "-": no hardware-ID property
  int replugAfterMs = -1;  // re-attach in the new mode this long after an accepted switch
  SimFaults faults;
};

// One exchange with a token, as the trace shows it.
struct SimExchange {
  std::string operation;  // transact, send-setup, receive, read-atr, set-feature, get-feature
  std::string path;
  std::vector<uint8_t> sent;
  bool ok = false;
  std::vector<uint8_t> returned;
};

struct SimMessageBox {
  std::string text;
  std::string caption;
  uint32_t flags = 0;
};

// What a named mutex's next wait yields when the machine is told to fake another holder.
enum class SimWait { kAcquire, kAbandoned, kTimeout, kFailed };

class SimMachine {
 public:
  SimMachine();   // NT family, major version 10, no devices
  ~SimMachine();  // uninstalls itself when installed
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // Makes this machine the platform backend; later platform calls reach it.
  void Install();

  void SetOs(uint32_t platformId, uint32_t majorVersion);

  // Attaches a token; returns its id (0, 1, ...). Discovery order is attach order.
  int AddToken(const SimTokenSpec& spec);
  // A HID device that is not a token, seen by HID discovery only.
  void AddOtherHidDevice(const std::string& hardwareId);

  void Unplug(int token);    // its device files fail from now on, its path vanishes
  void Reattach(int token);  // unplug if present, then attach in the mode it stored
  bool IsPresent(int token) const;
  std::string PathOf(int token) const;  // its device path in its present mode
  SimMode ModeOf(int token) const;
  Token& TokenModel(int token);  // the token model itself
  SimFaults& Faults(int token);
  int TokenCount() const;

  // Failure injection beyond the per-token faults.
  void FailAllocationsAfter(int successes);  // -1: never; n: the (n+1)-th LocalAlloc fails
  void FailMutexCreation(bool fail);
  void SetNextWait(const std::string& mutexName, SimWait outcome);  // one wait on that name
  // Device sets also list unplugged devices' elements, ahead of the present ones, as Wine's
  // do: element i is then not the device of interface i.
  void KeepStaleDeviceElements(bool keep);
  void AddDosName(const std::string& name);  // a DOS device name no device stands behind
  void FailDosDeviceQuery(bool fail);
  void FailLoadLibrary(bool fail);                 // LoadLibraryA("hid.dll") fails (error 126)
  void FailProcLookup(const std::string& name);    // GetProcAddress of that name fails (127)
  void SetTransferLatencyMicros(uint32_t micros);  // every control transfer costs this

  // What the library did. Every exchange is logged unless logging is off.
  const std::vector<SimExchange>& Log() const;
  void ClearLog();
  void SetLogging(bool on);
  const std::vector<SimMessageBox>& MessageBoxes() const;
  std::vector<std::string> DosNames() const;

  // Accounting: what is open or allocated now, and calls made.
  int OpenDeviceHandles() const;
  int OpenMutexHandles() const;
  int LiveAllocations() const;
  int LoadLibraryCalls() const;
  int GetProcAddressCalls() const;
  int SetupDiGetClassDevsCalls() const;
  int LiveDeviceInfoSets() const;  // sets made and not yet destroyed
  // Calls through an entry point other than the one GetProcAddress gave for that name.
  int BadEntryCalls() const;
  std::vector<std::string> MutexNamesCreated() const;  // every CreateMutexA name, in order
  bool MutexHeld(const std::string& name) const;       // owned by the library now

  // Runs the re-attaches that are due (replugAfterMs); every platform call does it too.
  void RunDueEvents();

 private:
  friend struct SimOps;  // the platform operations reach the installed machine's state
  sim::Impl* impl_;
};
