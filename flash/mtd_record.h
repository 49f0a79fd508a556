// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "mac/parse.h"

namespace flashmac {

// The address record: MAC_LEN raw bytes at this offset of the partition,
// no header, no checksum.
inline constexpr long MAC_OFFSET = 0xE000;
// Room for "/dev/mtdblock<name>" and its NUL.
inline constexpr std::size_t DEV_PATH_MAX = 4096;
// The read maps this much from the start of the block device.
inline constexpr std::size_t READ_MAP_LEN = 0x10000;

static_assert(MAC_OFFSET % 4096 == 0, "record sits at a page boundary");
static_assert(MAC_OFFSET + MAC_LEN <= static_cast<long>(READ_MAP_LEN),
              "record must lie inside the read mapping");

// Copies count bytes of the record of partition `part` (the suffix of
// "/dev/mtdblock%s", which is mapped; "/dev/mtd%s", where there is one,
// serves to check its pages) into dst. Returns 0 when they were copied,
// -1 on any failure, which is reported on stderr; dst is then untouched.
int mtd_read_mac(const char* part, std::uint8_t* dst, int count);

// Writes count bytes from src into the record of partition `part` and
// flushes them to flash. Returns 0 when the kernel accepted the bytes, -1
// otherwise; a missing "/dev/mtd%s" node fails silently, every other
// failure is reported on stderr.
int mtd_write_mac(const char* part, const std::uint8_t* src, int count);

}  // namespace flashmac
