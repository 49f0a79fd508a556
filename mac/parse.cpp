// SPDX-License-Identifier: MIT
#include "mac/parse.h"

namespace flashmac {
namespace {

// Value of one hex digit, or -1 (the NUL included, so the parse never
// runs past the end of the text).
constexpr int hex_digit(char c) {
  // Unsigned differences test each range with one comparison; setting the
  // 0x20 bit folds 'A'-'F' onto 'a'-'f' and nothing else onto them.
  const unsigned u = static_cast<unsigned char>(c);
  if (u - '0' < 10) return static_cast<int>(u - '0');
  if ((u | 0x20) - 'a' < 6) return static_cast<int>((u | 0x20) - 'a' + 10);
  return -1;
}

}  // namespace

int parse_mac(std::uint8_t* dst, const char* text) {
  if (dst == nullptr || text == nullptr) return -1;
  const char* p = text;
  // Twelve digits in one loop: the digit test is built once.
  unsigned pair = 0;
  for (int i = 0; i < 2 * MAC_LEN; ++i) {
    // At most one separator before each pair, the first included.
    if (i % 2 == 0 && (*p == '-' || *p == ':')) ++p;
    // A digit is only looked past once it is known not to be the NUL.
    const int digit = hex_digit(*p++);
    if (digit < 0) return -1;
    pair = pair << 4 | static_cast<unsigned>(digit);
    // A byte is stored only once both of its digits are accepted.
    if (i % 2 == 1) dst[i / 2] = static_cast<std::uint8_t>(pair);
  }
  return 0;
}

}  // namespace flashmac
