// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace flashmac {

// Bytes in a hardware address; also the size of the address buffer.
inline constexpr int MAC_LEN = 6;

// Parses "00:11:22:aa:bb:cc", "00-11-..." or "001122aabbcc" (one optional
// ':' or '-' before each pair, either case) into dst[0..5].
// Returns 0 when six bytes were parsed, -1 otherwise. On -1 the pairs
// completed before the fault are stored and the rest of dst is untouched.
// Text after the sixth pair is not looked at.
int parse_mac(std::uint8_t* dst, const char* text);

}  // namespace flashmac
