// Checks parse_mac against its contract, stated independently as a regular
// expression: the text is accepted exactly when its start is six hex pairs,
// each with at most one ':' or '-' before it; on rejection the completed
// pairs are stored and nothing else is touched; nothing past the NUL is read
// (the text sits at the very end of a heap block, so ASan sees any overrun).
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "mac/parse.h"

namespace {

constexpr std::uint8_t SENTINEL = 0xA5;

// Pairs a parse completes before it stops: the largest k for which the text
// starts with k optionally separated pairs.
int completed_pairs(const std::string& text) {
  static const auto patterns = [] {
    std::array<std::regex, 7> p;
    for (int k = 0; k <= 6; ++k)
      p[k] = std::regex("([-:]?[0-9A-Fa-f]{2}){" + std::to_string(k) + "}");
    return p;
  }();
  for (int k = 6; k > 0; --k)
    if (std::regex_search(text, patterns[k],
                          std::regex_constants::match_continuous))
      return k;
  return 0;
}

int hex(char c) {
  return std::strchr("0123456789", c) ? c - '0' : (c | 0x20) - 'a' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  auto buf = std::make_unique<char[]>(size + 1);
  std::memcpy(buf.get(), data, size);
  buf[size] = '\0';
  const std::string text(buf.get());  // what lies before the first NUL

  std::array<std::uint8_t, 6> dst;
  dst.fill(SENTINEL);
  const int result = flashmac::parse_mac(dst.data(), buf.get());

  const int k = completed_pairs(text);
  if (result != (k == 6 ? 0 : -1)) std::abort();
  std::string digits;
  for (char c : text.substr(0, 18))
    if (c != ':' && c != '-') digits += c;
  for (int i = 0; i < 6; ++i) {
    const int want =
        i < k ? hex(digits[2 * i]) * 16 + hex(digits[2 * i + 1]) : SENTINEL;
    if (dst[i] != want) std::abort();
  }
  return 0;
}
