// The token model: what it answers to each request, over either personality.
#include "token/token.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAtr = {0x3B, 0x0F, 0x80, 0x02, 0x30, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};

TokenConfig MakeConfig() {
  TokenConfig config{};
  config.atrLength = static_cast<uint8_t>(kAtr.size());
  for (size_t i = 0; i < kAtr.size(); ++i) config.atr[i] = kAtr[i];
  config.deviceType = 0x05;
  config.deviceTypeStatus = 0x9000;
  return config;
}

Token MakeToken(const TokenConfig& config = MakeConfig()) {
  Token token;
  TokenInit(&token, &config, TOKEN_MODE_HID);
  return token;
}

Bytes ControlHeader(uint8_t value, uint8_t length) {
  return {0x40, 1, value, 0, 0, 0, length, 0};
}
Bytes ApduHeader(uint8_t length) {
  return {0x40, 0, 0, 0, 0, 0, length, 0};
}

Bytes ReadAll(Token& token) {
  uint8_t out[TOKEN_MAX_REPLY];
  const uint32_t n = TokenReadReply(&token, out, sizeof out);
  return Bytes(out, out + n);
}

TEST(TokenBuildAtr, LaysOutVersionAndIdentifier) {
  uint8_t atr[17];
  const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(TokenBuildAtr(0x0230, id, 8, atr), 17u);
  EXPECT_EQ(Bytes(atr, atr + 17), kAtr);

  EXPECT_EQ(TokenBuildAtr(0x0205, id, 0, atr), 9u);
  EXPECT_EQ(atr[1], 0x07);  // K = 7: the historical bytes without identifier
  EXPECT_EQ(atr[3], 0x02);
  EXPECT_EQ(atr[4], 0x05);
  EXPECT_EQ(TokenBuildAtr(0x0205, id, 12, atr), 17u);  // at most 8 identifier bytes
  EXPECT_EQ(atr[1], 0x0F);
}

struct RequestCase {
  const char* name;
  Bytes header;
  Bytes data;
  int taken;
  Bytes reply;
};

TEST(TokenRequest, AnswersEachRequest) {
  const RequestCase cases[] = {
      {"answer-to-reset", ControlHeader(2, 8), Bytes(8, 0xEE), 1, kAtr},
      {"answer-to-reset without filler", ControlHeader(2, 0), {}, 0, {}},
      {"usb mode", ControlHeader(7, 1), {0x00}, 1, {}},
      {"hid mode", ControlHeader(7, 1), {0xAA}, 1, {}},
      {"unknown mode byte", ControlHeader(7, 1), {0x55}, 0, {}},
      {"mode with two bytes", ControlHeader(7, 2), {0xAA, 0xAA}, 0, {}},
      {"unknown control value", ControlHeader(5, 8), Bytes(8, 0), 0, {}},
      {"value high byte counts", {0x40, 1, 7, 1, 0, 0, 1, 0}, {0xAA}, 0, {}},
      {"unknown request", {0x40, 9, 0, 0, 0, 0, 0, 0}, {}, 0, {}},
      {"length disagrees with data", ControlHeader(7, 2), {0xAA}, 0, {}},
      {"device type, version 2.0", ApduHeader(6), {0x80, 0xCA, 0x06, 0, 1, 0}, 1, {5, 0x90, 0}},
      {"device type, later versions", ApduHeader(6), {0x80, 0xCA, 0x07, 0, 1, 0}, 1, {5, 0x90, 0}},
      {"unknown instruction", ApduHeader(5), {0x80, 0x10, 0, 0, 0}, 1, {0x6D, 0x00}},
      {"unknown class", ApduHeader(5), {0xC0, 0xCA, 0x07, 0, 0}, 1, {0x6E, 0x00}},
      {"other data object", ApduHeader(5), {0x80, 0xCA, 0x01, 0, 0}, 1, {0x6A, 0x86}},
      {"short apdu", ApduHeader(4), {0x80, 0xCA, 0x07, 0}, 1, {0x67, 0x00}},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    Token token = MakeToken();
    EXPECT_EQ(
        TokenRequest(&token, c.header.data(), c.data.data(), static_cast<uint32_t>(c.data.size())),
        c.taken);
    EXPECT_EQ(token.requests, static_cast<uint32_t>(c.taken));
    if (c.taken) {
      EXPECT_TRUE(token.hasReply);
      EXPECT_EQ(ReadAll(token), c.reply);
      EXPECT_EQ(Bytes(token.lastRequest, token.lastRequest + 8), c.header);
    } else {
      EXPECT_FALSE(token.hasReply);
    }
    EXPECT_EQ(token.unpairedReads, 0u);
  }
}

TEST(TokenRequest, DeviceTypeStatusOtherThanSuccessCarriesNoTypeByte) {
  TokenConfig config = MakeConfig();
  config.deviceTypeStatus = 0x6A82;
  Token token = MakeToken(config);
  const Bytes apdu = {0x80, 0xCA, 0x07, 0, 1, 0};
  ASSERT_EQ(TokenRequest(&token, ApduHeader(6).data(), apdu.data(), 6), 1);
  EXPECT_EQ(ReadAll(token), (Bytes{0x6A, 0x82}));
}

TEST(TokenRequest, RefusesAnswerToResetItDoesNotHave) {
  TokenConfig config = MakeConfig();
  config.atrLength = 0;
  Token token = MakeToken(config);
  EXPECT_EQ(TokenRequest(&token, ControlHeader(2, 8).data(), Bytes(8, 0).data(), 8), 0);
}

TEST(TokenRequest, ModeRequestIsStoredUntilReattach) {
  TokenConfig config = MakeConfig();
  config.modeReply[0] = 0x42;
  config.modeReplyLength = 1;
  Token token = MakeToken(config);
  const uint8_t usb = 0x00;
  ASSERT_EQ(TokenRequest(&token, ControlHeader(7, 1).data(), &usb, 1), 1);
  EXPECT_EQ(token.modeRequests, 1u);
  EXPECT_EQ(token.requestedMode, TOKEN_MODE_USB);
  EXPECT_EQ(token.mode, TOKEN_MODE_HID);  // still its old self until re-attached
  EXPECT_EQ(ReadAll(token), Bytes{0x42});

  ASSERT_EQ(TokenRequest(&token, ControlHeader(7, 1).data(), &usb, 1), 1);  // reply left unread
  TokenReattach(&token);
  EXPECT_EQ(token.mode, TOKEN_MODE_USB);
  EXPECT_EQ(token.requestedMode, TOKEN_MODE_NONE);
  EXPECT_FALSE(token.hasReply);

  TokenReattach(&token);  // nothing requested: the mode stays
  EXPECT_EQ(token.mode, TOKEN_MODE_USB);
}

TEST(TokenReadReply, CountsReadsWithoutARequestAndCutsToCapacity) {
  Token token = MakeToken();
  uint8_t out[4];
  EXPECT_EQ(TokenReadReply(&token, out, sizeof out), 0u);
  EXPECT_EQ(token.unpairedReads, 1u);

  ASSERT_EQ(TokenRequest(&token, ControlHeader(2, 8).data(), Bytes(8, 0).data(), 8), 1);
  EXPECT_EQ(TokenReadReply(&token, out, sizeof out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(kAtr.begin(), kAtr.begin() + 4));
  EXPECT_EQ(TokenReadReply(&token, out, sizeof out), 0u);  // the reply was consumed
  EXPECT_EQ(token.unpairedReads, 2u);

  const uint8_t hid = 0xAA;  // an empty reply is still a reply
  ASSERT_EQ(TokenRequest(&token, ControlHeader(7, 1).data(), &hid, 1), 1);
  EXPECT_EQ(TokenReadReply(&token, out, sizeof out), 0u);
  EXPECT_EQ(token.unpairedReads, 2u);
}

TEST(TokenHid, ReportDescriptor) {
  const struct {
    uint32_t id;
    uint32_t length;
  } reports[] = {{20, 8},  {19, 16}, {18, 24}, {17, 32},  {16, 40},     {15, 48}, {14, 56},
                 {13, 64}, {12, 80}, {11, 96}, {10, 112}, {9, 128},     {8, 144}, {7, 160},
                 {6, 176}, {5, 192}, {4, 208}, {3, 224},  {2, 240},     {1, 258}, {128, 258},
                 {0, 0},   {21, 0},  {127, 0}, {129, 0},  {256 + 20, 0}};
  for (const auto& r : reports) EXPECT_EQ(TokenHidReportLength(r.id), r.length) << r.id;
}

Bytes Report(uint8_t id, uint32_t length, const Bytes& head) {
  Bytes report(length, 0);
  report[0] = id;
  for (size_t i = 0; i < head.size() && i + 1 < length; ++i) report[i + 1] = head[i];
  return report;
}

TEST(TokenHid, SetFeatureFraming) {
  const Bytes typeQuery = {6, 0x80, 0xCA, 0x07, 0, 1, 0};  // L, then the APDU
  const struct {
    const char* name;
    Bytes report;
    int taken;
    Bytes reply;
  } cases[] = {
      {"apdu in report 19", Report(19, 16, typeQuery), 1, {5, 0x90, 0}},
      {"apdu filling report 20", Report(20, 8, typeQuery), 1, {5, 0x90, 0}},
      {"apdu in report 1", Report(1, 258, typeQuery), 1, {5, 0x90, 0}},
      {"report longer than its id", Report(20, 9, typeQuery), 0, {}},
      {"report shorter than its id", Report(19, 15, typeQuery), 0, {}},
      {"apdu overruns the report", Report(20, 8, {7, 0x80, 0xCA, 0x07, 0, 1, 0}), 0, {}},
      {"report id the token lacks", Report(21, 8, typeQuery), 0, {}},
      {"control: mode switch", Report(128, 258, {2, 7, 0xAA}), 1, {}},
      {"control: answer-to-reset", Report(128, 258, {9, 2, 0, 0, 0, 0, 0, 0, 0, 0}), 1, kAtr},
      {"control: no value byte", Report(128, 258, {0, 7, 0xAA}), 0, {}},
      {"control: short report", Report(128, 257, {2, 7, 0xAA}), 0, {}},
      {"control: longest", Report(128, 258, {255, 7}), 0, {}},  // 254 data bytes: not a mode
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Token token = MakeToken();
    EXPECT_EQ(TokenHidSetFeature(&token, c.report.data(), static_cast<uint32_t>(c.report.size())),
              c.taken);
    if (c.taken) {
      EXPECT_EQ(ReadAll(token), c.reply);
    }
  }
}

TEST(TokenHid, GetFeatureCarriesTheReplyToTheSetBefore) {
  Token token = MakeToken();
  const Bytes set = Report(128, 258, {9, 2, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(TokenHidSetFeature(&token, set.data(), 258), 1);

  Bytes get(258, 0xCC);
  get[0] = 1;
  EXPECT_EQ(TokenHidGetFeature(&token, get.data(), 257), 0);
  get[0] = 2;
  EXPECT_EQ(TokenHidGetFeature(&token, get.data(), 258), 0);
  EXPECT_TRUE(token.hasReply);  // refused gets leave the reply waiting

  get[0] = 1;
  ASSERT_EQ(TokenHidGetFeature(&token, get.data(), 258), 1);
  EXPECT_EQ(get[0], 1);
  EXPECT_EQ(get[1], kAtr.size());
  EXPECT_EQ(Bytes(get.begin() + 2, get.begin() + 2 + kAtr.size()), kAtr);
  EXPECT_EQ(Bytes(get.begin() + 2 + kAtr.size(), get.end()), Bytes(258 - 2 - kAtr.size(), 0));

  get.assign(258, 0xCC);
  get[0] = 1;
  ASSERT_EQ(TokenHidGetFeature(&token, get.data(), 258), 1);  // nothing pending: empty reply
  EXPECT_EQ(get[1], 0);
  EXPECT_EQ(token.unpairedReads, 1u);
}

}  // namespace
