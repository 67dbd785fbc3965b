#include "device/atr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> WithHistorical(std::vector<uint8_t> head, int count) {
  for (int i = 1; i <= count; ++i) head.push_back(static_cast<uint8_t>(i));
  return head;
}

TEST(ParseAnswerToReset, FillsEveryFieldOfTheFifteenByteAnswer) {
  const auto atr = WithHistorical({0x3B, 0x0F}, 15);
  AtrInfo info{};
  ASSERT_EQ(0, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kTestFirstByte));
  EXPECT_EQ(0x01, info.historical1);
  EXPECT_EQ(0x0203, info.version);
  EXPECT_EQ(0x04, info.historical4);
  EXPECT_EQ(0x0506, info.historical56);
  EXPECT_EQ(0x07, info.historical7);
  EXPECT_EQ(8, info.identifierLength);
  const uint8_t identifier[] = {0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  EXPECT_EQ(0, memcmp(identifier, info.identifier, 8));
}

struct InterfaceCase {
  std::vector<uint8_t> head;  // TS, T0 and the interface bytes
};

class InterfaceBytes : public testing::TestWithParam<InterfaceCase> {};

TEST_P(InterfaceBytes, HistoricalBytesStartAfterTheLastInterfaceByte) {
  const auto atr = WithHistorical(GetParam().head, 15);
  AtrInfo info{};
  ASSERT_EQ(0, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kTestFirstByte));
  EXPECT_EQ(0x01, info.historical1);
  EXPECT_EQ(0x0203, info.version);
  EXPECT_EQ(0x0F, info.identifier[7]);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, InterfaceBytes,
    testing::Values(InterfaceCase{{0x3B, 0x8F, 0x80, 0x01}},     // TD1 announces TD2
                    InterfaceCase{{0x3B, 0x3F, 0x11, 0x00}},     // TA1 and TB1
                    InterfaceCase{{0x3B, 0xFF, 1, 2, 3, 0x00}},  // TA1 TB1 TC1 TD1
                    InterfaceCase{{0x3B, 0x9F, 0x11, 0x70, 4, 5, 6}}));

TEST(ParseAnswerToReset, IdentifierLengthFollowsK) {
  for (uint8_t k = 7; k <= 15; ++k) {
    const auto atr = WithHistorical({0x3B, k}, k);
    AtrInfo info;
    memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(0, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kPlain)) << int{k};
    EXPECT_EQ(k - 7, info.identifierLength);
    // Bytes past the identifier are not touched.
    for (int i = k - 7; i < 8; ++i) EXPECT_EQ(0xEE, info.identifier[i]) << int{k};
  }
}

TEST(ParseAnswerToReset, OnlyTheCheckingFormRefusesInverseConvention) {
  const auto atr = WithHistorical({0x3F, 0x0F}, 15);
  AtrInfo info{};
  info.version = 0x4242;
  EXPECT_EQ(-1, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kTestFirstByte));
  EXPECT_EQ(0x4242, info.version);
  EXPECT_EQ(0, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kPlain));
  EXPECT_EQ(0x0203, info.version);
}

// Malformed answers are refused whole: nothing read past the bytes given (the sanitizer build
// sees the read), nothing written.
TEST(ParseAnswerToReset, RefusesAnswersThatBreakTheirOwnStructure) {
  const std::vector<std::vector<uint8_t>> broken = {
      {},
      {0x3B},
      WithHistorical({0x3B, 0x06}, 6),              // K below 7
      WithHistorical({0x3B, 0x0F}, 14),             // identifier cut short
      {0x3B, 0x80},                                 // TD1 announced, missing
      {0x3B, 0xF0, 1, 2},                           // TA1 TB1 TC1 TD1 run past the end
      WithHistorical({0x3B, 0x8F, 0x80, 0x80}, 3),  // a chain of TDs and too few bytes
      {0x3B, 0x87, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},  // TDs to the end
  };
  for (const auto& atr : broken) {
    for (AtrCheck check : {AtrCheck::kTestFirstByte, AtrCheck::kPlain}) {
      // A heap copy of exactly the bytes given, so an over-read is caught.
      std::vector<uint8_t> exact(atr);
      AtrInfo info;
      memset(&info, 0x5A, sizeof info);
      EXPECT_EQ(-1, ParseAnswerToReset(exact.empty() ? nullptr : exact.data(), exact.size(), &info,
                                       check))
          << "length " << atr.size();
      for (size_t i = 0; i < sizeof info; ++i) {
        ASSERT_EQ(0x5A, reinterpret_cast<const uint8_t*>(&info)[i]);
      }
    }
  }
}

TEST(ParseAnswerToReset, EveryShortPrefixOfAValidAnswerIsSafe) {
  const auto atr = WithHistorical({0x3B, 0xFF, 1, 2, 3, 0x8F, 0x00}, 15);
  for (size_t length = 0; length < atr.size(); ++length) {
    std::vector<uint8_t> exact(atr.begin(), atr.begin() + static_cast<long>(length));
    AtrInfo info{};
    EXPECT_EQ(-1, ParseAnswerToReset(exact.data(), exact.size(), &info, AtrCheck::kPlain))
        << length;
  }
  AtrInfo info{};
  EXPECT_EQ(0, ParseAnswerToReset(atr.data(), atr.size(), &info, AtrCheck::kPlain));
  EXPECT_EQ(0x0203, info.version);
}

}  // namespace
