#include <gtest/gtest.h>

#include "cli/endpoint.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "cli/sha256.h"
#include "cli/shown_text.h"
#include "cli_fixture.h"

namespace kestrel::cli {
namespace {

TEST(EndpointTest, AcceptsOnlyFourDecimalNumbersAndAPort) {
    const auto ok = parse_endpoint("192.168.001.020:05000");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->text(), "192.168.1.20:5000");  // leading zeros are decimal, never octal
    for (const char* bad :
         {"10.1:5000", "1:5000", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "256.0.0.1:5000",
          "0x7f.0.0.1:5000", "127.0.0.1:5000 ", " 127.0.0.1:5000", "127.0.0.1:65536",
          "127..0.1:5000", "1.2.3.4.5:6", "1.2.3.4:-5", "1.2.3.4:+5", "1111.2.3.4:5"}) {
        EXPECT_FALSE(parse_endpoint(bad)) << bad;
    }
}

TEST(JsonTest, EscapesQuotesControlsAndBrokenUtf8) {
    EXPECT_EQ(json_string("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    EXPECT_EQ(json_string("\xff"), "\"\\u00ff\"");
    JsonObject o;
    o.add("n", 3).add("b", false).add("s", "x");
    EXPECT_EQ(o.str(), "{\"n\":3,\"b\":false,\"s\":\"x\"}");
}

TEST(Sha256Test, MatchesKnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // 56 bytes: the padding takes a second block.
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256_hex({reinterpret_cast<const std::uint8_t*>(two.data()), two.size()}),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(ProgressViewTest, LinesComeAtStageEdgesAndEveryFewSeconds) {
    std::FILE* f = std::tmpfile();
    double now = 100.0;
    ProgressView view(f, ProgressMode::Auto, false, [&now] { return now; });
    view.update(FlashStage::Program, 0, 400);
    now += 1.0;
    view.update(FlashStage::Program, 100, 400);  // too soon for a line
    now += 3.0;
    view.update(FlashStage::Program, 200, 400);  // 200 pages = 50 KiB in 4 s
    now += 1.0;
    view.update(FlashStage::Program, 400, 400);  // the stage's end always shows
    view.finish();
    const std::string text = test::slurp(f);
    EXPECT_EQ(text,
              "program   0%       0.0 KiB/s  ETA -:--\n"
              "program  50%      12.5 KiB/s  ETA 0:04\n"
              "program 100%      20.0 KiB/s  ETA 0:00\n");
}

TEST(ProgressViewTest, BarRedrawsInPlaceOnATerminal) {
    std::FILE* f = std::tmpfile();
    double now = 0.0;
    ProgressView view(f, ProgressMode::Auto, true, [&now] { return now; });
    view.update(FlashStage::Erase, 0, 13);
    now = 6.5;
    view.tick();
    view.finish();
    const std::string text = test::slurp(f);
    EXPECT_NE(text.find("\rerase   [############............]  50%  0:07 elapsed"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(ShownTextTest, EscapesEveryUnprintableByteAndCutsAt80WithoutSplittingAnEscape) {
    EXPECT_EQ(shown_text("plain text, 1-2"), "plain text, 1-2");
    EXPECT_EQ(shown_text(std::string("a\0\x1b[2J\t\x7f\\\xc3\xa9", 11)),
              "a\\x00\\x1b[2J\\x09\\x7f\\\\\\xc3\\xa9");
    EXPECT_EQ(quoted_text("\r\n"), "\"\\x0d\\x0a\"");
    const std::string eighty(80, 'x');
    EXPECT_EQ(shown_text(eighty), eighty);
    EXPECT_EQ(shown_text(eighty + "y"), std::string(77, 'x') + "...");
    // 76 characters, then an escape that would reach past the 77 before the "...".
    EXPECT_EQ(shown_text(std::string(76, 'x') + "\x01" + std::string(10, 'z')),
              std::string(76, 'x') + "...");
    EXPECT_EQ(shown_text(std::string(1 << 20, '\x01')).size(), 79u);  // 19 escapes and "..."
}

}  // namespace
}  // namespace kestrel::cli
