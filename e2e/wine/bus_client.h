// The harness side of the virtual token bus: install it, plug and unplug tokens, read what
// they received. Shared by tokenbusctl.exe and driverprobe.exe. Test-only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "e2e/wine/bus_control.h"

// Installs the bus (root\tokenbus) from the INF at `infPath` and waits until its control
// device opens. Returns an empty text on success, else what failed.
std::string InstallBus(const char* infPath);
// Removes the bus device (its drivers stay in the prefix).
std::string RemoveBus();

// One call on the bus's control device; false when it could not be opened or refused.
bool BusCall(DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0,
             DWORD* returned = nullptr);

struct TokenSpec {
  uint32_t mode = TOKEN_MODE_HID;
  uint16_t version = 0x0230;
  std::vector<uint8_t> identifier = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> atr;  // empty: built from version and identifier
  bool noAtr = false;        // the token refuses to give its answer-to-reset
  uint8_t deviceType = 0x05;
  uint16_t deviceTypeStatus = 0x9000;
  std::vector<uint8_t> modeReply;
  uint32_t refuse = 0;
  uint32_t reattachDelay = 0;
  uint32_t pullDelay = 0;
};

BusPlug MakePlug(uint32_t slot, const TokenSpec& spec);
bool Plug(uint32_t slot, const TokenSpec& spec);
bool Unplug(uint32_t slot);
bool Reattach(uint32_t slot);
bool SetFaults(uint32_t slot, uint32_t refuse, uint32_t reattachDelay, uint32_t pullDelay = 0);

struct LoggedRequest {
  uint8_t op;
  uint8_t result;
  uint32_t capacity;
  std::vector<uint8_t> bytes;
};

struct TokenState {
  BusStatus status;
  std::vector<LoggedRequest> log;
};

bool QueryToken(uint32_t slot, bool clearLog, TokenState* state);

const char* LogOpName(uint8_t op);
std::string Hex(const uint8_t* bytes, size_t length);
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  return Hex(bytes.data(), bytes.size());
}
bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes);
