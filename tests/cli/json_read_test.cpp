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
    for (const std::string& line : std::vector<std::string>{
             R"({"error":"\uzzzz"})", R"({"error":"\ud800"})", R"({"error":"abc)",
             std::string("{\"error\":\"\xff\xfe\"}"), std::string("[1,2]"), std::string(""),
             std::string("{\"a\":1}garbage"), std::string(100000, '['), std::string("\"error\"")}) {
        std::optional<std::string> got;
        EXPECT_NO_THROW(got = json_field(line, "error")) << line.substr(0, 40);
        EXPECT_EQ(got, std::nullopt) << line.substr(0, 40);
    }
}

// Bytes that only look like UTF-8 (a surrogate, a code point past U+10FFFF, overlong forms, a
// lead byte past F4) are escaped one by one, so the reader still takes the whole line; UTF-8
// itself passes unchanged.
TEST(JsonField, WhatTheWriterMakesOfAnyBytesTheReaderTakes) {
    for (const std::string& bytes :
         {std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80"), std::string("\xe0\x80\xaf"),
          std::string("\xf0\x80\x80\xaf"), std::string("\xf5\x80\x80"), std::string("\xc0\xaf")}) {
        const std::string line = JsonObject().add("error", "at " + bytes).add("exit_code", 5).str();
        EXPECT_EQ(json_field(line, "exit_code"), "5") << line;
        const auto error = json_field(line, "error");
        ASSERT_TRUE(error.has_value()) << line;
        EXPECT_EQ(error->rfind("at ", 0), 0u);
        EXPECT_NE(*error, "at " + bytes);  // each byte became a character of its own
    }
    const std::string utf8 = "caf\xc3\xa9 \xed\x9f\xbf \xf4\x8f\xbf\xbf \xf0\x90\x80\x80";
    EXPECT_EQ(json_field(JsonObject().add("label", utf8).str(), "label"), utf8);
}

}  // namespace
}  // namespace kestrel::cli
