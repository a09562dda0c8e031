// MAC addresses as typed: the dialog's six fields and the command line's joined text, each
// parsed once into six bytes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "device/mac.h"

namespace kestrel::device {
namespace {

TEST(MacFieldsTest, AcceptsSixPairsInEitherCase) {
    const Result<Mac> mac = parse_mac_fields({"00", "1a", "2B", "3c", "4D", "5e"});
    ASSERT_TRUE(mac.ok()) << mac.reason();
    EXPECT_EQ(*mac, (Mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
}

TEST(MacFieldsTest, NamesTheFirstFieldThatIsNotTwoHexDigits) {
    const std::vector<std::pair<MacFields, int>> cases = {
        {{"00", "11", "g2", "33", "44", "55"}, 2},  {{"00", "11", "22", "33", "44", "5"}, 5},
        {{"001", "11", "22", "33", "44", "zz"}, 0}, {{"00", "", "22", "33", "44", "55"}, 1},
        {{"00", "11", "22", " 3", "44", "55"}, 3},
    };
    for (const auto& [fields, bad] : cases) {
        SCOPED_TRACE(bad);
        const std::string refusal = "MAC field " + std::to_string(bad + 1) +
                                    " must hold exactly two hex digits (00 to ff, for example 1a).";
        const Result<Mac> mac = parse_mac_fields(fields);
        EXPECT_FALSE(mac.ok());
        EXPECT_EQ(mac.code(), StatusCode::BadInput);
        EXPECT_EQ(mac.reason(), refusal);
        // The dialog parses field by field to put the focus on the bad one.
        EXPECT_EQ(
            parse_mac_field(fields[static_cast<std::size_t>(bad)], static_cast<std::size_t>(bad))
                .reason(),
            refusal);
    }
}

TEST(MacTextTest, TakesTheColonAndDashFormsOnly) {
    EXPECT_EQ(parse_mac_text("a1:b2:c3:d4:e5:f6").value_opt(),
              (Mac{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
    EXPECT_EQ(parse_mac_text("A1-B2-C3-D4-E5-F6").value_opt(),
              (Mac{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
    for (const char* bad :
         {"a1:b2:c3:d4:e5", "a1:b2:c3:d4:e5:f6:", "a1:b2-c3:d4:e5:f6", "a1b2c3d4e5f6",
          "a1:b2:c3:d4:e5:f", " a1:b2:c3:d4:e5:f6", "", "zz:00:00:00:00:00", "a1:b2:c3:d4:e5:f "}) {
        SCOPED_TRACE(bad);
        const Result<Mac> mac = parse_mac_text(bad);
        EXPECT_FALSE(mac.ok());
        EXPECT_EQ(mac.code(), StatusCode::BadInput);
        EXPECT_EQ(mac_pairs_as_typed(bad), "");
    }
}

TEST(MacTextTest, KeepsThePairsAsTypedAndPrintsLowerCaseColons) {
    EXPECT_EQ(mac_pairs_as_typed("00:1A:2b:3C:4d:5E"), "001A2b3C4d5E");
    EXPECT_EQ(mac_pairs_as_typed("00-1a-2b-3c-4d-5e"), "001a2b3c4d5e");
    EXPECT_EQ(mac_text(Mac{0x00, 0x1A, 0x2B, 0xFF, 0x4D, 0x05}), "00:1a:2b:ff:4d:05");
    const Mac round{0x02, 0xAB, 0x00, 0x10, 0xFE, 0x7F};
    EXPECT_EQ(parse_mac_text(mac_text(round)).value_opt(), round);
}

}  // namespace
}  // namespace kestrel::device
