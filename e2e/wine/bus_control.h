// The virtual token bus's control interface, shared by the bus driver and the harness.
//
// The harness opens \\.\TokenBus and asks the bus, by buffered I/O controls, to plug a token
// of either personality, unplug it, re-attach it, change its faults, and read back what the
// token received. Test-only: never part of the product.
#pragma once

#include <stdint.h>

#include "token/token.h"

#define TOKENBUS_DOS_NAME "\\\\.\\TokenBus"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TOKENBUS_CTL(n) ((0x22u << 16) | ((0x800u + (n)) << 2))
#define IOCTL_TOKENBUS_PLUG TOKENBUS_CTL(0)       // in: BusPlug
#define IOCTL_TOKENBUS_UNPLUG TOKENBUS_CTL(1)     // in: BusSlot
#define IOCTL_TOKENBUS_REATTACH TOKENBUS_CTL(2)   // in: BusSlot
#define IOCTL_TOKENBUS_CONFIGURE TOKENBUS_CTL(3)  // in: BusFaults
#define IOCTL_TOKENBUS_QUERY TOKENBUS_CTL(4)      // in: BusSlot; out: BusStatus + log bytes

enum : uint32_t { BUS_SLOTS = 8, BUS_LOG_BYTES = 16384 };

// Faults a test switches on to walk the library's fallbacks.
enum : uint32_t {
  BUS_REFUSE_TRANSACT = 1,  // the one-shot exchange fails: the host falls back to two steps
  BUS_REFUSE_READ_ATR = 2,  // the answer-to-reset read fails: the host asks with a request
};

struct BusFaults {
  uint32_t slot;
  uint32_t refuse;         // BUS_REFUSE_* bits
  uint32_t reattachDelay;  // ms after an accepted mode request; 0: the harness re-attaches
  // ms: the next mode request never reaches the token; it is held, the token is pulled out
  // this long after it came, and then it fails, as when the user pulls the token mid-exchange.
  // 0: off. Happens once.
  uint32_t pullDelay;
};

struct BusPlug {
  BusFaults faults;
  uint32_t mode;  // TOKEN_MODE_HID or TOKEN_MODE_USB
  TokenConfig config;
};

struct BusSlot {
  uint32_t slot;
  uint32_t clearLog;  // QUERY only: empty the log after reading it
};

struct BusStatus {
  uint32_t present;  // a child is on the bus now
  uint32_t mode;     // the personality it presents
  uint32_t requestedMode;
  uint32_t requests;
  uint32_t modeRequests;
  uint32_t unpairedReads;
  uint32_t plugs;      // how often it was plugged, re-attaches included
  uint32_t logLength;  // log bytes after this record
  uint32_t logLost;    // entries dropped because the log was full
};

// One log entry: this header, then `length` bytes that the host sent.
enum : uint8_t {
  BUS_LOG_SEND_SETUP = 1,   // the input of the send-setup control: header and data
  BUS_LOG_RECEIVE = 2,      // the input of the receive control: the header
  BUS_LOG_READ_ATR = 3,     // no input
  BUS_LOG_TRANSACT = 4,     // the input of the one-shot exchange
  BUS_LOG_SET_FEATURE = 5,  // the whole report, ID byte first
  BUS_LOG_GET_FEATURE = 6,  // the ID byte the host asked for
};

struct BusLogEntry {
  uint8_t op;
  uint8_t result;     // 1 answered, 0 refused by the token or the transport
  uint16_t length;    // bytes that follow
  uint32_t capacity;  // output room the host offered (HID: the report length)
};
