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
  for (int i = 0; i < MAC_LEN; ++i) {
    if (*p == '-' || *p == ':') ++p;
    const int hi = hex_digit(p[0]);
    if (hi < 0) return -1;
    // p[1] is only read once p[0] is known to be a digit, not the NUL.
    const int lo = hex_digit(p[1]);
    if (lo < 0) return -1;
    dst[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    p += 2;
  }
  return 0;
}

}  // namespace flashmac
