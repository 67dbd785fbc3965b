// The token's behaviour: what it answers to each request from the host, written once for
// every stand-in (the simulated machine, the Linux guest devices, the Wine drivers).
//
// Freestanding: no heap, no exceptions, no OS call, nothing of the standard library but
// fixed-width integers, so the same unit compiles into a static guest program and a
// Windows kernel driver. Hosts only carry bytes in and out.
#pragma once

#include <stdint.h>

enum : uint8_t {
  TOKEN_MODE_NONE = 0,
  TOKEN_MODE_HID = 1,  // reached through the HID class driver, feature reports
  TOKEN_MODE_USB = 2,  // reached through the maker's USB driver
};

enum : uint32_t { TOKEN_MAX_REPLY = 255, TOKEN_HID_REPORT_MAX = 258 };

struct TokenConfig {
  uint8_t atr[TOKEN_MAX_REPLY];        // answer-to-reset, replied to control request value 2
  uint8_t atrLength;                   // 0: the token refuses to give it
  uint8_t deviceType;                  // replied to the device-type query
  uint16_t deviceTypeStatus;           // status word of that reply; other than 0x9000: no type byte
  uint8_t modeReply[TOKEN_MAX_REPLY];  // reply data to an accepted mode request
  uint8_t modeReplyLength;
};

struct Token {
  TokenConfig config;
  uint8_t mode;           // the personality it presents now
  uint8_t requestedMode;  // stored by an accepted mode request; taken at re-attach
  uint8_t reply[TOKEN_MAX_REPLY];
  uint32_t replyLength;
  uint8_t hasReply;        // a reply waits to be read
  uint32_t requests;       // requests taken
  uint32_t modeRequests;   // accepted mode requests
  uint32_t unpairedReads;  // reads with no request before them: a torn request/reply pair
  uint8_t lastRequest[8];  // header of the last request taken
};

// Builds an answer-to-reset in the layout hosts parse: TS 3B, T0 with K = 7 + the
// identifier's length (no interface bytes), seven historical bytes with the version in
// bytes 2 and 3, then the identifier (at most 8 bytes). Returns its length; `atr` needs 17.
uint32_t TokenBuildAtr(uint16_t version, const uint8_t* identifier, uint32_t identifierLength,
                       uint8_t* atr);

void TokenInit(Token* token, const TokenConfig* config, uint8_t mode);

// A request: the 8-byte setup header (requestType, request, value, index, length) and its
// data bytes. Returns 1 when the token takes it (its reply then waits to be read), 0 when
// it refuses it (a real device stalls).
int TokenRequest(Token* token, const uint8_t header[8], const uint8_t* data, uint32_t dataLength);

// Reads the reply to the request before: copies min(reply length, capacity) bytes and
// returns that count. A read with no request before it returns 0 and is counted.
uint32_t TokenReadReply(Token* token, uint8_t* out, uint32_t capacity);

// HID personality. The token's feature reports are IDs 1 to 20 and 128; this is the
// length of each (ID byte included), 0 for an ID the token does not have.
uint32_t TokenHidReportLength(uint32_t reportId);
// A set of a feature report (ID byte first). 1 when taken; 0 when refused: an ID or length
// the token does not have, or a report whose contents do not fit it.
int TokenHidSetFeature(Token* token, const uint8_t* report, uint32_t length);
// A get of feature report 1: fills ID 1, the reply length R and R reply bytes, zeros after.
// Returns 1, or 0 when the ID or length is not the token's.
int TokenHidGetFeature(Token* token, uint8_t* report, uint32_t length);

// Detach and attach again: an accepted mode request takes effect.
void TokenReattach(Token* token);
