// The reader of the batch children's JSON: whatever a line holds, it gives a field or nothing,
// and never throws.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli/json.h"

namespace kestrel::cli {
namespace {

TEST(JsonField, ReadsStringsWithAnyEscapeAndOtherValuesAsJsonText) {
    const std::string line =
        R"({"label":"unit \"7\"","name":"caf\u00e9 \u4e2d \ud83d\ude00","rate_kib_s":12.5,"ok":true,)"
        R"("bad_page":null,"stages":{"erase":{"seconds":13}},"percent":40})";
    EXPECT_EQ(json_field(line, "label"), "unit \"7\"");
    EXPECT_EQ(json_field(line, "name"), "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80");
    EXPECT_EQ(json_field(line, "rate_kib_s"), "12.5");
    EXPECT_EQ(json_field(line, "ok"), "true");
    EXPECT_EQ(json_field(line, "bad_page"), "null");
    EXPECT_EQ(json_field(line, "stages"), R"({"erase":{"seconds":13}})");
    EXPECT_EQ(json_field(line, "percent"), "40");
    EXPECT_EQ(json_field(line, "seconds"), std::nullopt);  // only the top level
}

TEST(JsonField, MalformedOrHostileLinesGiveNothingAndNeverThrow) {
    for (const std::string& line : std::vector<std::string>{R"({"error":"\uzzzz"})", R"({"error":"\ud800"})", R"({"error":"abc)",
                                   std::string("{\"error\":\"\xff\xfe\"}"), std::string("[1,2]"), std::string(""),
                                   std::string("{\"a\":1}garbage"), std::string(100000, '['),
                                   std::string("\"error\"")}) {
        std::optional<std::string> got;
        EXPECT_NO_THROW(got = json_field(line, "error")) << line.substr(0, 40);
        EXPECT_EQ(got, std::nullopt) << line.substr(0, 40);
    }
}

}  // namespace
}  // namespace kestrel::cli
