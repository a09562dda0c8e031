#include "device/private_profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "device/settings_path.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

class PrivateProfileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

    void Write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string Content() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    test::TempDir dir_;
    std::string path_ = (dir_ / "QXR-IPdata.ini").string();
};

TEST_F(PrivateProfileTest, MissingFileReadsEmptyAndFirstWritesCreateTheSection) {
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), "");
    EXPECT_EQ(WriteProfileValue("Server", "IP", "192.168.1.20", path_), 0);
    EXPECT_EQ(WriteProfileValue("Server", "Port", "5000", path_), 0);
    EXPECT_EQ(Content(), "[Server]\nIP=192.168.1.20\nPort=5000\n");
    EXPECT_EQ(ReadProfileValue("Server", "Port", path_), "5000");
    EXPECT_EQ(ReadProfileValue("Server", "TS Port", path_), "");
    EXPECT_EQ(ReadProfileValue("Multcast", "IP", path_), "");
}

TEST_F(PrivateProfileTest, SectionAndKeyNamesMatchWithoutRegardToCase) {
    Write("[server]\nip=10.0.0.1\nPORT=80\n");
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), "10.0.0.1");
    EXPECT_EQ(ReadProfileValue("SERVER", "port", path_), "80");
    ASSERT_EQ(WriteProfileValue("Server", "Port", "81", path_), 0);
    EXPECT_EQ(Content(), "[server]\nip=10.0.0.1\nPort=81\n");
}

TEST_F(PrivateProfileTest, BlanksAndOnePairOfEnclosingQuotesAreStripped) {
    Write(
        "[S]\n  a  =   spaced value \t\nb=\"  quoted \"\nc=''twice''\nd=\"open\ne='x\"\nf=\"\"\n");
    EXPECT_EQ(ReadProfileValue("S", "a", path_), "spaced value");
    EXPECT_EQ(ReadProfileValue("S", "b", path_), "  quoted ");
    EXPECT_EQ(ReadProfileValue("S", "c", path_), "'twice'");
    EXPECT_EQ(ReadProfileValue("S", "d", path_), "\"open");
    EXPECT_EQ(ReadProfileValue("S", "e", path_), "'x\"");
    EXPECT_EQ(ReadProfileValue("S", "f", path_), "");
}

TEST_F(PrivateProfileTest, KeysOfOtherSectionsAreNotSeenAndTheFirstMatchCounts) {
    Write("IP=orphan\n[Other]\nIP=other\n[Server]\nIP=first\nIP=second\n");
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), "first");
    EXPECT_EQ(ReadProfileValue("Missing", "IP", path_), "");
}

TEST_F(PrivateProfileTest, WriteChangesOnlyItsOwnKeyAndKeepsEveryOtherLine) {
    const std::string before =
        "; kestrel settings\n[Server]\nIP = 10.0.0.1  ; typed by hand\nPort=80\n\n"
        "# another comment\n[Multcast]\nIP=239.1.1.1\n";
    Write(before);
    ASSERT_EQ(WriteProfileValue("Server", "IP", "10.0.0.2", path_), 0);
    ASSERT_EQ(WriteProfileValue("Server", "TS Port", "New TS port 1234", path_), 0);
    ASSERT_EQ(WriteProfileValue("Multcast", "IP", "239.2.2.2", path_), 0);
    EXPECT_EQ(Content(),
              "; kestrel settings\n[Server]\nIP=10.0.0.2\nPort=80\nTS Port=New TS port 1234\n\n"
              "# another comment\n[Multcast]\nIP=239.2.2.2\n");
}

TEST_F(PrivateProfileTest, WriteKeepsCrLfLineEndingsAndAMissingFinalNewline) {
    Write("[Server]\r\nIP=1.2.3.4\r\nPort=80");
    ASSERT_EQ(WriteProfileValue("Server", "Port", "81", path_), 0);
    EXPECT_EQ(Content(), "[Server]\r\nIP=1.2.3.4\r\nPort=81");
    ASSERT_EQ(WriteProfileValue("Multcast", "IP", "239.1.1.1", path_), 0);
    EXPECT_EQ(Content(), "[Server]\r\nIP=1.2.3.4\r\nPort=81\r\n[Multcast]\r\nIP=239.1.1.1\r\n");
    EXPECT_EQ(ReadProfileValue("Server", "Port", path_), "81");
}

TEST_F(PrivateProfileTest, ReadOnlyFileIsLeftAloneAndTheWriteReportsIt) {
    Write("[Server]\nPort=80\n");
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    EXPECT_EQ(WriteProfileValue("Server", "Port", "81", path_), EACCES);
    EXPECT_EQ(Content(), "[Server]\nPort=80\n");
    EXPECT_EQ(ReadProfileValue("Server", "Port", path_), "80");
}

TEST_F(PrivateProfileTest, WriteRefusesLineBreaksThatWouldAddLinesOfTheirOwn) {
    const std::string before = "[Server]\nIP=10.0.0.1\nPort=80\n";
    Write(before);
    EXPECT_EQ(WriteProfileValue("Server", "IP", "127.0.0.1\n[Multcast]\nIP=6.6.6.6", path_),
              EINVAL);
    EXPECT_EQ(WriteProfileValue("Server", "IP", "127.0.0.1\rPort=1", path_), EINVAL);
    EXPECT_EQ(WriteProfileValue("Server", "TS\nPort", "1", path_), EINVAL);
    EXPECT_EQ(WriteProfileValue("Server]\n[Multcast", "IP", "1", path_), EINVAL);
    EXPECT_EQ(Content(), before);
    EXPECT_EQ(ReadProfileValue("Multcast", "IP", path_), "");
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), "10.0.0.1");
}

TEST_F(PrivateProfileTest, ByteOrderMarkIsNotPartOfTheFirstSectionAndIsKept) {
    const std::string bom = "\xEF\xBB\xBF";
    Write(bom + "[Server]\r\nIP=10.0.0.1\r\nPort=80\r\n");
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), "10.0.0.1");
    ASSERT_EQ(WriteProfileValue("Server", "Port", "81", path_), 0);
    EXPECT_EQ(Content(), bom + "[Server]\r\nIP=10.0.0.1\r\nPort=81\r\n");
    EXPECT_EQ(ReadProfileValue("Server", "Port", path_), "81");
}

TEST_F(PrivateProfileTest, ValuesLongerThan259CharactersReadCut) {
    const std::string long_value(300, 'x');
    ASSERT_EQ(WriteProfileValue("Server", "IP", long_value, path_), 0);
    EXPECT_EQ(ReadProfileValue("Server", "IP", path_), long_value.substr(0, 259));
}

TEST_F(PrivateProfileTest, WriteLeavesNoTemporaryFileAndKeepsASymbolicLink) {
    const std::string target = (dir_ / "real.ini").string();
    std::ofstream(target) << "[Server]\nPort=80\n";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    ASSERT_EQ(WriteProfileValue("Server", "Port", "81", path_), 0);
    struct stat st {};
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadProfileValue("Server", "Port", target), "81");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              2);
}

class SettingsFilePathTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(exe_.path().empty() || home_.path().empty()); }
    void TearDown() override { g_strExeDir = saved_; }

    std::string saved_ = g_strExeDir;
    test::TempDir exe_;
    test::TempDir home_;
    std::string home_path_ = home_.path().string();
    test::ScopedEnv config_{"XDG_CONFIG_HOME", home_path_ + "/cfg"};
    test::ScopedEnv state_{"XDG_STATE_HOME", home_path_ + "/state"};
};

TEST_F(SettingsFilePathTest, IsBesideAWritableExecutableWhateverTheWorkingDirectory) {
    g_strExeDir = exe_.path().string();
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(home_path_.c_str()), 0);
    const std::string settings = SettingsFilePath();
    const std::string log = LogDirectory();
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(settings, g_strExeDir + "/QXR-IPdata.ini");
    EXPECT_EQ(log, g_strExeDir);
    EXPECT_FALSE(std::filesystem::is_directory(home_path_ + "/cfg"));
}

// Installed in /usr/bin: the file moves to the configuration folder, made on the first use,
// and keeps its format and keys there.
TEST_F(SettingsFilePathTest, InstalledExecutableKeepsSettingsInTheConfigFolder) {
    g_strExeDir = "/usr/bin";
    const std::string path = SettingsFilePath();
    EXPECT_EQ(path, home_path_ + "/cfg/kestrel/QXR-IPdata.ini");
    EXPECT_TRUE(std::filesystem::is_directory(home_path_ + "/cfg/kestrel"));
    ASSERT_EQ(WriteProfileValue("Server", "IP", "10.1.2.3", SettingsFilePath()), 0);
    ASSERT_EQ(WriteProfileValue("Multcast", "IP", "239.1.1.1", SettingsFilePath()), 0);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "[Server]\nIP=10.1.2.3\n[Multcast]\nIP=239.1.1.1\n");
    EXPECT_FALSE(std::filesystem::is_directory(home_path_ + "/state"));
}

TEST_F(SettingsFilePathTest, InstalledExecutableKeepsTheLogInTheStateFolder) {
    g_strExeDir = "/usr/bin";
    EXPECT_EQ(LogDirectory(), home_path_ + "/state/kestrel");
    EXPECT_TRUE(std::filesystem::is_directory(home_path_ + "/state/kestrel"));
    EXPECT_FALSE(std::filesystem::is_directory(home_path_ + "/cfg"));
}

}  // namespace
}  // namespace kestrel
