// SPDX-License-Identifier: MIT
#include "app/cli.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "flash/mtd_record.h"
#include "mac/parse.h"

namespace flashmac {
namespace {

using MacBuf = std::array<std::uint8_t, MAC_LEN>;

void print_mac(const MacBuf& mac) {
  std::printf("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
              mac[4], mac[5]);
}

}  // namespace

int run(int argc, char** argv) {
  MacBuf mac{};  // a read that fills nothing prints zeros
  if (argc == 2) {
    mtd_read_mac(argv[1], mac.data(), MAC_LEN);
    print_mac(mac);
  } else if (argc == 3) {
    // Only a fully parsed address may reach the flash.
    if (parse_mac(mac.data(), argv[2]) != 0) {
      std::fprintf(stderr, "invalid MAC address: %s\n", argv[2]);
      return 1;
    }
    mtd_write_mac(argv[1], mac.data(), MAC_LEN);
    // Show what the flash holds now, not what was asked for.
    mac.fill(0);
    mtd_read_mac(argv[1], mac.data(), MAC_LEN);
    print_mac(mac);
  }
  return 0;
}

}  // namespace flashmac
