// MAC texts: the hex-pair conversion, the six-field check and the colon form.
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

TEST(MacFieldsTest, AcceptsSixPairsInEitherCase) {
    const MacCheck check = check_mac_fields({"00", "1a", "2B", "3c", "4D", "5e"});
    ASSERT_TRUE(check.ok()) << check.error;
    EXPECT_EQ(check.mac, (Mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
}

TEST(MacFieldsTest, NamesTheFirstFieldThatIsNotTwoHexDigits) {
    const std::vector<std::pair<MacFields, int>> cases = {
        {{"00", "11", "g2", "33", "44", "55"}, 2},  {{"00", "11", "22", "33", "44", "5"}, 5},
        {{"001", "11", "22", "33", "44", "zz"}, 0}, {{"00", "", "22", "33", "44", "55"}, 1},
        {{"00", "11", "22", " 3", "44", "55"}, 3},
    };
    for (const auto& [fields, bad] : cases) {
        SCOPED_TRACE(bad);
        const MacCheck check = check_mac_fields(fields);
        EXPECT_FALSE(check.ok());
        EXPECT_EQ(check.bad_field, bad);
        EXPECT_EQ(check.error, "MAC field " + std::to_string(bad + 1) +
                                   " must hold exactly two hex digits (00 to ff, for example 1a).");
    }
}

TEST(MacFieldsTest, SplitsTheColonAndDashFormsOnly) {
    EXPECT_EQ(split_mac_text("a1:b2:c3:d4:e5:f6"), (MacFields{"a1", "b2", "c3", "d4", "e5", "f6"}));
    EXPECT_EQ(split_mac_text("A1-B2-C3-D4-E5-F6"), (MacFields{"A1", "B2", "C3", "D4", "E5", "F6"}));
    for (const char* bad : {"a1:b2:c3:d4:e5", "a1:b2:c3:d4:e5:f6:", "a1:b2-c3:d4:e5:f6",
                            "a1b2c3d4e5f6", "a1:b2:c3:d4:e5:f", " a1:b2:c3:d4:e5:f6", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(split_mac_text(bad), std::nullopt);
    }
    // The split keeps the texts; the field check still refuses what is not hex.
    const auto fields = split_mac_text("zz:00:00:00:00:00");
    ASSERT_TRUE(fields);
    EXPECT_EQ(check_mac_fields(*fields).bad_field, 0);
}

}  // namespace
}  // namespace kestrel::device
