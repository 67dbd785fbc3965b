// The answer-to-reset parse, in both forms, over answers of any length and content.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "device/atr.h"
#include "fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a read one byte past the answer meets the address sanitizer.
  const auto atr = std::make_unique<uint8_t[]>(size);
  if (size != 0) memcpy(atr.get(), data, size);
  const auto length = static_cast<uint32_t>(size);
  for (const AtrCheck check : {AtrCheck::kTestFirstByte, AtrCheck::kPlain}) {
    AtrInfo info;
    memset(&info, 0xA5, sizeof info);
    const AtrInfo before = info;
    const int32_t result = ParseAnswerToReset(atr.get(), length, &info, check);
    FuzzCheck(result == 0 || result == -1, "the parse returns 0 or -1");
    if (result != 0) {
      FuzzCheck(memcmp(&info, &before, sizeof info) == 0, "a refused answer leaves info untouched");
    } else {
      FuzzCheck(info.identifierLength <= sizeof info.identifier, "identifier within its field");
      FuzzCheck(check == AtrCheck::kPlain || atr[0] == 0x3B, "TS tested");
    }
  }
  return 0;
}
