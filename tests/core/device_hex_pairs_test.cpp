// Hex pairs as a MAC field holds them: the conversion and the two-digit check.
#include <gtest/gtest.h>

#include "device/hex_pairs.h"

namespace kestrel::device {
namespace {

TEST(HexPairsToBytesTest, ConvertsPairsAndStopsAtTheFirstBadPair) {
    std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(HexPairsToBytes("1a2B", out), 2);
    EXPECT_EQ(out[0], 0x1A);
    EXPECT_EQ(out[1], 0x2B);
    EXPECT_EQ(HexPairsToBytes("FfzZ00", out), 1);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x2B);  // untouched
    EXPECT_EQ(HexPairsToBytes("abc", out), 1);
    EXPECT_EQ(HexPairsToBytes("g0", out), 0);
    EXPECT_EQ(HexPairsToBytes("0102030405", std::span<std::uint8_t>(out, 2)), 2);
    EXPECT_EQ(out[2], 0xEE);
}

TEST(HexPairsToBytesTest, MacFieldsMustBeExactlyTwoHexDigits) {
    EXPECT_TRUE(IsHexPair("0a"));
    EXPECT_TRUE(IsHexPair("F9"));
    EXPECT_FALSE(IsHexPair("a"));
    EXPECT_FALSE(IsHexPair("abc"));
    EXPECT_FALSE(IsHexPair("g1"));
    EXPECT_FALSE(IsHexPair(" 1"));
    EXPECT_FALSE(IsHexPair(""));
}

}  // namespace
}  // namespace kestrel::device
