// The token's side of every request. Byte loops instead of library copies: this unit links
// into hosts that have no C library (a kernel driver, a static guest program).
#include "token/token.h"

namespace {

enum : uint8_t {
  kRequestApdu = 0,
  kRequestControl = 1,
  kControlAnswerToReset = 2,
  kControlModeSwitch = 7,
  kModeByteUsb = 0x00,
  kModeByteHid = 0xAA,
  kControlReportId = 128,
  kReplyReportId = 1,
};

// Fixed historical bytes around the version; hosts keep them but read only the version.
enum : uint8_t {
  kHistorical1 = 0x80,
  kHistorical4 = 0x01,
  kHistorical5 = 0x00,
  kHistorical6 = 0x00,
  kHistorical7 = 0x01,
};

void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

void ZeroBytes(uint8_t* to, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) to[i] = 0;
}

void SetReply(Token* token, const uint8_t* bytes, uint32_t count) {
  if (count > TOKEN_MAX_REPLY) count = TOKEN_MAX_REPLY;
  CopyBytes(token->reply, bytes, count);
  token->replyLength = count;
  token->hasReply = 1;
}

void SetStatusReply(Token* token, uint16_t statusWord) {
  const uint8_t sw[2] = {static_cast<uint8_t>(statusWord >> 8),
                         static_cast<uint8_t>(statusWord & 0xFF)};
  SetReply(token, sw, 2);
}

bool IsDeviceTypeQuery(const uint8_t* apdu, uint32_t length) {
  return length == 6 && apdu[0] == 0x80 && apdu[1] == 0xCA &&
         (apdu[2] == 0x06 || apdu[2] == 0x07) && apdu[3] == 0x00 && apdu[4] == 0x01 &&
         apdu[5] == 0x00;
}

// Every APDU gets an answer: the device type, or a status word for what the token lacks.
void AnswerApdu(Token* token, const uint8_t* apdu, uint32_t length) {
  if (length < 5) {
    SetStatusReply(token, 0x6700);  // wrong length
    return;
  }
  if (IsDeviceTypeQuery(apdu, length)) {
    if (token->config.deviceTypeStatus == 0x9000) {
      const uint8_t reply[3] = {token->config.deviceType, 0x90, 0x00};
      SetReply(token, reply, 3);
    } else {
      SetStatusReply(token, token->config.deviceTypeStatus);
    }
    return;
  }
  if (apdu[0] != 0x80 && apdu[0] != 0x00) {
    SetStatusReply(token, 0x6E00);  // class not supported
  } else if (apdu[0] == 0x80 && apdu[1] == 0xCA) {
    SetStatusReply(token, 0x6A86);  // a data object the token does not have
  } else {
    SetStatusReply(token, 0x6D00);  // instruction not supported
  }
}

int AnswerControl(Token* token, uint16_t value, const uint8_t* data, uint32_t length) {
  if (value == kControlAnswerToReset) {
    // The host sends eight filler bytes with a request that has no data of its own.
    if (length != 8 || token->config.atrLength == 0) return 0;
    SetReply(token, token->config.atr, token->config.atrLength);
    return 1;
  }
  if (value == kControlModeSwitch) {
    if (length != 1) return 0;
    if (data[0] == kModeByteUsb) {
      token->requestedMode = TOKEN_MODE_USB;
    } else if (data[0] == kModeByteHid) {
      token->requestedMode = TOKEN_MODE_HID;
    } else {
      return 0;
    }
    token->modeRequests++;
    SetReply(token, token->config.modeReply, token->config.modeReplyLength);
    return 1;
  }
  return 0;
}

// The token's report descriptor: feature report ID -> length, ID byte included.
struct ReportSize {
  uint8_t id;
  uint16_t length;
};
constexpr ReportSize kFeatureReports[] = {
    {20, 8},  {19, 16}, {18, 24}, {17, 32},  {16, 40}, {15, 48}, {14, 56},
    {13, 64}, {12, 80}, {11, 96}, {10, 112}, {9, 128}, {8, 144}, {7, 160},
    {6, 176}, {5, 192}, {4, 208}, {3, 224},  {2, 240}, {1, 258}, {128, 258},
};

}  // namespace

uint32_t TokenBuildAtr(uint16_t version, const uint8_t* identifier, uint32_t identifierLength,
                       uint8_t* atr) {
  if (identifier == nullptr) identifierLength = 0;
  if (identifierLength > 8) identifierLength = 8;  // K is at most 15
  atr[0] = 0x3B;
  atr[1] = static_cast<uint8_t>(0x07 + identifierLength);  // K historical bytes, no TA1..TD1
  atr[2] = kHistorical1;
  atr[3] = static_cast<uint8_t>(version >> 8);
  atr[4] = static_cast<uint8_t>(version & 0xFF);
  atr[5] = kHistorical4;
  atr[6] = kHistorical5;
  atr[7] = kHistorical6;
  atr[8] = kHistorical7;
  CopyBytes(atr + 9, identifier, identifierLength);
  return 9 + identifierLength;
}

void TokenInit(Token* token, const TokenConfig* config, uint8_t mode) {
  ZeroBytes(reinterpret_cast<uint8_t*>(token), sizeof(Token));
  CopyBytes(reinterpret_cast<uint8_t*>(&token->config), reinterpret_cast<const uint8_t*>(config),
            sizeof(TokenConfig));
  token->mode = mode;
  token->requestedMode = TOKEN_MODE_NONE;
}

int TokenRequest(Token* token, const uint8_t header[8], const uint8_t* data, uint32_t dataLength) {
  // A new request replaces any reply that was never read.
  token->hasReply = 0;
  token->replyLength = 0;
  const uint16_t value = static_cast<uint16_t>(header[2] | (header[3] << 8));
  const uint16_t length = static_cast<uint16_t>(header[6] | (header[7] << 8));
  if (length != dataLength || (dataLength != 0 && data == nullptr)) return 0;

  int taken = 0;
  if (header[1] == kRequestApdu) {
    AnswerApdu(token, data, dataLength);
    taken = 1;
  } else if (header[1] == kRequestControl) {
    taken = AnswerControl(token, value, data, dataLength);
  }
  if (!taken) return 0;
  token->requests++;
  CopyBytes(token->lastRequest, header, 8);
  return 1;
}

uint32_t TokenReadReply(Token* token, uint8_t* out, uint32_t capacity) {
  if (!token->hasReply) {
    token->unpairedReads++;
    return 0;
  }
  uint32_t count = token->replyLength < capacity ? token->replyLength : capacity;
  if (out == nullptr) count = 0;
  CopyBytes(out, token->reply, count);
  token->hasReply = 0;
  token->replyLength = 0;
  return count;
}

uint32_t TokenHidReportLength(uint32_t reportId) {
  for (const ReportSize& report : kFeatureReports) {
    if (report.id == reportId) return report.length;
  }
  return 0;
}

int TokenHidSetFeature(Token* token, const uint8_t* report, uint32_t length) {
  if (report == nullptr || length == 0 || length != TokenHidReportLength(report[0])) return 0;
  uint8_t header[8] = {0x40, kRequestApdu, 0, 0, 0, 0, 0, 0};
  uint32_t dataLength = 0;
  const uint8_t* data = nullptr;
  if (report[0] == kControlReportId) {
    // Byte 1 counts the value byte and the data after it.
    if (report[1] == 0) return 0;
    dataLength = report[1] - 1u;
    if (dataLength + 3 > length) return 0;
    header[1] = kRequestControl;
    header[2] = report[2];
    data = report + 3;
  } else {
    dataLength = report[1];
    if (dataLength + 2 > length) return 0;
    data = report + 2;
  }
  header[6] = static_cast<uint8_t>(dataLength);
  return TokenRequest(token, header, data, dataLength);
}

int TokenHidGetFeature(Token* token, uint8_t* report, uint32_t length) {
  if (report == nullptr || length != TOKEN_HID_REPORT_MAX || report[0] != kReplyReportId) return 0;
  ZeroBytes(report, length);
  report[0] = kReplyReportId;
  // A get with no set before it is answered with an empty reply, and counted.
  const uint32_t count = TokenReadReply(token, report + 2, TOKEN_MAX_REPLY);
  report[1] = static_cast<uint8_t>(count);
  return 1;
}

void TokenReattach(Token* token) {
  if (token->requestedMode != TOKEN_MODE_NONE) {
    token->mode = token->requestedMode;
    token->requestedMode = TOKEN_MODE_NONE;
  }
  token->hasReply = 0;
  token->replyLength = 0;
}
