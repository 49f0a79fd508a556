#include "mac/parse.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using flashmac::parse_mac;
using Bytes = std::array<std::uint8_t, 6>;

// Bytes a rejected parse must leave alone.
constexpr std::uint8_t U = 0xEE;

struct Case {
  const char* text;
  int result;
  Bytes bytes;  // destination afterwards; it starts as all U
};

const Case kCases[] = {
    // The accepted forms.
    {"00:11:22:aa:bb:cc", 0, {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}},
    {"00-11-22-AA-BB-CC", 0, {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}},
    {"001122aabbcc", 0, {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}},
    {"00:11-22aa:bb-cc", 0, {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC}},
    {"Fe:dC:9a:87:65:43", 0, {0xFE, 0xDC, 0x9A, 0x87, 0x65, 0x43}},
    {"ff:FF:0f:F0:09:90", 0, {0xFF, 0xFF, 0x0F, 0xF0, 0x09, 0x90}},
    {":00:11:22:33:44:55", 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    {"-0a1b2c3d4e5f", 0, {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
    // What follows the twelfth digit is not looked at.
    {"00:11:22:33:44:55:66", 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    {"00:11:22:33:44:55xyz", 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    {"00112233445566778899", 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
    // Rejected: the completed pairs are stored, the rest untouched.
    {"", -1, {U, U, U, U, U, U}},
    {":", -1, {U, U, U, U, U, U}},
    {"00::11:22:33:44:55", -1, {0x00, U, U, U, U, U}},
    {"::00:11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"0:1:2:3:4:5", -1, {U, U, U, U, U, U}},
    {"00:11:22:33:44:5", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    {"00:11:22:33:44:", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    {"0011223344", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    {"00.11.22.33.44.55", -1, {0x00, U, U, U, U, U}},
    {"00 11 22 33 44 55", -1, {0x00, U, U, U, U, U}},
    {"00_11_22_33_44_55", -1, {0x00, U, U, U, U, U}},
    {"0x001122334455", -1, {U, U, U, U, U, U}},
    {" 00:11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"00:11:2g:33:44:55", -1, {0x00, 0x11, U, U, U, U}},
    {"00:11:22:33:44:G5", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    // Characters next to the digit ranges.
    {"/0:11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"0::11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"@0:11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"`0:11:22:33:44:55", -1, {U, U, U, U, U, U}},
    {"00:11:22:33:44:5G", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    {"00:11:22:33:44:5g", -1, {0x00, 0x11, 0x22, 0x33, 0x44, U}},
    {"\xB0\xB1:11:22:33:44:55", -1, {U, U, U, U, U, U}},
};

TEST(ParseMac, Table) {
  for (const Case& c : kCases) {
    Bytes dst;
    dst.fill(U);
    EXPECT_EQ(parse_mac(dst.data(), c.text), c.result) << '"' << c.text << '"';
    EXPECT_EQ(dst, c.bytes) << '"' << c.text << '"';
  }
}

TEST(ParseMac, NullPointersAreRejectedAndNothingWritten) {
  Bytes dst;
  dst.fill(U);
  EXPECT_EQ(parse_mac(nullptr, "00:11:22:33:44:55"), -1);
  EXPECT_EQ(parse_mac(dst.data(), nullptr), -1);
  EXPECT_EQ(dst, (Bytes{U, U, U, U, U, U}));
}

TEST(ParseMac, StopsAtTheTerminatingNul) {
  // Digits after the NUL would complete the address if they were read.
  const char text[] =
      "00:11:2\0"
      "2:33:44:55";
  Bytes dst;
  dst.fill(U);
  EXPECT_EQ(parse_mac(dst.data(), text), -1);
  EXPECT_EQ(dst, (Bytes{0x00, 0x11, U, U, U, U}));
}

}  // namespace
