// The MAC pool's state file: read exactly or not at all, appended to, one range per file.
#include "cli/mac_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "cli/mac_pool.h"
#include "platform/regular_file.h"
#include "support/temp_dir.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kRange = "02:00:00:00:00:10-02:00:00:00:00:1f";

class MacStateTest : public ::testing::Test {
  protected:
    void put(const std::string& body) { std::ofstream(path_, std::ios::binary) << body; }
    std::string body() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    Result<cli::Mac48> take(const char* range = kRange) {
        return cli::take_mac(path_, *cli::parse_mac_range(range));
    }

    TempDir dir_;
    std::string path_ = (dir_ / "macs.state").string();
};

TEST_F(MacStateTest, EveryAddressHandedOutIsAppendedAfterTheRange) {
    for (const char* want : {"02:00:00:00:00:10", "02:00:00:00:00:11", "02:00:00:00:00:12"}) {
        const auto t = take();
        ASSERT_TRUE(t.ok()) << t.reason();
        EXPECT_EQ(cli::mac_text(*t), want);
    }
    EXPECT_EQ(body(),
              "kestrel-mac-state 1\nrange 02:00:00:00:00:10-02:00:00:00:00:1f\n"
              "02:00:00:00:00:10\n02:00:00:00:00:11\n02:00:00:00:00:12\n");
}

TEST_F(MacStateTest, AStateFileThatCantBeReadExactlyStopsThePoolNamingTheLine) {
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(take().ok());
    const std::string good = body();
    const std::string p = path_;
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"", p + " line 1: the file is empty"},
        {"02:00:00:00:00:10-02:00:00:00:00:1f\n",
         p + " line 1: \"02:00:00:00:00:10-02:00:00:00:00:1f\" is not a MAC state line"},
        {"kestrel-mac-state\n", p + " line 1: \"kestrel-mac-state\" is not a MAC state line"},
        {std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0\n",
                     11),
         p + " line 1: \"\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\" is not"},
        {std::string(64, '\0'), p + " line 1: \"\\x00\\x00"},
        {"kestrel-mac-state 1\nrange "
         "02:00:00:00:00:10-02:00:00:00:00:1f\n02:00:00:00:00:10\n02:00:00:00:00:31\n",
         p + " line 4: \"02:00:00:00:00:31\" does not follow the line before"},
        {"kestrel-mac-state 1\nrange 02:00:00:00:00:10-02:00:00:00:00:1F\n",
         p + " line 2: \"range 02:00:00:00:00:10-02:00:00:00:00:1F\" is not"},
        {"kestrel-mac-state 1\nrange 02:00:00:00:00:10-02:00:00:00:00:1f\n02:00:00:00:00:1",
         p + " line 3: \"02:00:00:00:00:1\" is cut short"},
        {good + "02:00:00:00:00:15 \n", p + " line 8: \"02:00:00:00:00:15 \" is not an address"},
        {good + "02:00:00:00:00:14\n", p + " line 8: \"02:00:00:00:00:14\" does not follow"},
        {"kestrel-mac-state 1\n", p + " line 2: no \"range FIRST-LAST\" line"},
    };
    for (const auto& [text, error] : damaged) {
        put(text);
        const auto t = take();
        EXPECT_FALSE(t.ok()) << "took " << cli::mac_text(t.value_opt().value_or(0)) << " from "
                             << ::testing::PrintToString(text);
        EXPECT_EQ(t.code(), StatusCode::BadInput);
        EXPECT_THAT(t.reason(), HasSubstr(error)) << ::testing::PrintToString(text);
        EXPECT_EQ(body(), text);  // refused, not repaired
        EXPECT_THAT(cli::check_mac_state(path_, *cli::parse_mac_range(kRange)).reason(),
                    HasSubstr(error));
    }
}

// A file past 1 MiB is refused before it is read, however well formed its lines are.
TEST_F(MacStateTest, AStateFileOver1MiBIsRefusedAndLeftAsItIs) {
    std::string big = "kestrel-mac-state 1\nrange 02:00:00:00:00:00-02:ff:ff:ff:ff:ff\n";
    for (std::uint64_t m = 0x020000000000; big.size() <= kSmallFileMax; ++m)
        big += cli::mac_text(m) + "\n";
    put(big);
    const auto t = take("02:00:00:00:00:00-02:ff:ff:ff:ff:ff");
    EXPECT_EQ(t.code(), StatusCode::FileError);
    EXPECT_THAT(t.reason(),
                HasSubstr("the MAC state file: \"" + path_ + "\" is larger than 1 MiB"));
    EXPECT_EQ(body(), big);
}

TEST_F(MacStateTest, AnotherOrOverlappingRangeNeedsAStateFileOfItsOwn) {
    ASSERT_TRUE(take().ok());
    const auto other = take("02:00:00:00:00:00-02:00:00:00:00:ff");
    EXPECT_FALSE(other.ok());
    EXPECT_EQ(other.reason(),
              path_ +
                  " line 2: the file is for the range 02:00:00:00:00:10-02:00:00:00:00:1f; "
                  "the range 02:00:00:00:00:00-02:00:00:00:00:ff needs a --mac-state of its own");
    const auto again = take();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(cli::mac_text(*again), "02:00:00:00:00:11");
}

TEST_F(MacStateTest, AReadOnlyStateFileIsRefusedAndKeepsItsModeAndBytes) {
    ASSERT_TRUE(take().ok());
    const std::string before = body();
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    const auto t = take();
    EXPECT_FALSE(t.ok());
    EXPECT_EQ(t.reason(),
              "the MAC state file \"" + path_ + "\" is read-only; it is never replaced");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(body(), before);
}

TEST_F(MacStateTest, TheOneLinePerRangeFormIsTakenOverWhenItHoldsOnlyThisRange) {
    put("02:00:00:00:00:10-02:00:00:00:00:1f 02:00:00:00:00:13\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    const auto t = take();
    ASSERT_TRUE(t.ok()) << t.reason();
    EXPECT_EQ(cli::mac_text(*t), "02:00:00:00:00:13");
    EXPECT_EQ(body(),
              "kestrel-mac-state 1\nrange 02:00:00:00:00:10-02:00:00:00:00:1f\n"
              "02:00:00:00:00:10-02:00:00:00:00:12\n02:00:00:00:00:13\n");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    put("02:00:00:00:00:10-02:00:00:00:00:1f used-up\n");
    EXPECT_THAT(take().reason(), HasSubstr("is used up"));
    // Several ranges in one file can't be continued one range per file.
    put("02:00:00:00:00:10-02:00:00:00:00:1f "
        "02:00:00:00:00:13\n02:00:00:00:01:00-02:00:00:00:01:ff used-up\n");
    EXPECT_THAT(take().reason(),
                HasSubstr(path_ + " line 1: \"02:00:00:00:00:10-02:00:00:00:00:1f "
                                  "02:00:00:00:00:13\" is not \"kestrel-mac-state 1\""));
}

TEST_F(MacStateTest, AGrownFileIsRewrittenAsOneRunBeforeTheNextAddress) {
    const char* range = "02:00:00:00:00:00-02:00:00:00:ff:ff";
    std::string text = "kestrel-mac-state 1\nrange 02:00:00:00:00:00-02:00:00:00:ff:ff\n";
    for (cli::Mac48 m = 0x020000000000; m < 0x020000000000 + 4000; ++m)
        text += cli::mac_text(m) + "\n";
    put(text);
    const auto t = take(range);
    ASSERT_TRUE(t.ok()) << t.reason();
    EXPECT_EQ(cli::mac_text(*t), "02:00:00:00:0f:a0");
    EXPECT_EQ(body(),
              "kestrel-mac-state 1\nrange 02:00:00:00:00:00-02:00:00:00:ff:ff\n"
              "02:00:00:00:00:00-02:00:00:00:0f:9f\n02:00:00:00:0f:a0\n");
}

TEST(MacRangeTest, RangesThatHoldAnAddressNoDeviceMayHaveAreRefused) {
    EXPECT_TRUE(cli::parse_mac_range("02:1a:2b:00:00:00-02:1a:2b:00:0f:ff"));
    EXPECT_EQ(cli::check_mac_range("01:00:5e:00:00:00-01:00:5e:00:00:ff").reason(),
              "the range 01:00:5e:00:00:00-01:00:5e:00:00:ff starts with a multicast address (bit "
              "0 of the first byte is set)");
    EXPECT_EQ(cli::check_mac_range("00:00:00:00:00:00-00:00:00:00:00:0f").reason(),
              "the range 00:00:00:00:00:00-00:00:00:00:00:0f starts with all zeros");
    EXPECT_EQ(cli::check_mac_range("ff:ff:ff:ff:ff:ff-ff:ff:ff:ff:ff:ff").reason(),
              "the range ff:ff:ff:ff:ff:ff-ff:ff:ff:ff:ff:ff starts with the broadcast address");
    EXPECT_THAT(cli::check_mac_range("02:ff:ff:ff:ff:f0-04:00:00:00:00:0f").reason(),
                HasSubstr("holds multicast addresses"));
    EXPECT_THAT(cli::check_mac_range("02:00:00:00:00:05-02:00:00:00:00:04").reason(),
                HasSubstr("is not FIRST-LAST"));
    EXPECT_EQ(cli::mac_refusal(0x0a0000000001), "");
    EXPECT_EQ(cli::mac_refusal(0x030000000001),
              "a multicast address (bit 0 of the first byte is set)");
}

}  // namespace
}  // namespace kestrel::test
