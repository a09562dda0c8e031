// Opening user-named files: never blocking on a FIFO, never reading without bound, and the INI
// reader built on it.
#include "platform/regular_file.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "device/private_profile.h"
#include "support/temp_dir.h"

namespace kestrel {
namespace {

using ::testing::HasSubstr;

class RegularFileTest : public ::testing::Test {
  protected:
    std::string put(const std::string& name, const std::string& body) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << body;
        return path;
    }
    std::string fifo() {
        const std::string path = (dir_ / "fifo").string();
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return path;
    }
    test::TempDir dir_;
};

TEST_F(RegularFileTest, ReadsAWholeFileUpToTheLimitAndRefusesOneByteMore) {
    const std::string path = put("a.txt", std::string(100, 'x'));
    const FileText all = read_regular_file(path, 100, "the plan");
    ASSERT_TRUE(all.ok()) << all.reason;
    EXPECT_EQ(all.bytes, std::string(100, 'x'));
    const FileText over = read_regular_file(path, 99, "the plan");
    EXPECT_EQ(over.status, FileStatus::TooLarge);
    EXPECT_EQ(over.reason, "the plan: \"" + path + "\" is larger than 99 bytes");
    EXPECT_TRUE(over.bytes.empty());
    const FileText empty = read_regular_file(put("e.txt", ""), 10, "the plan");
    EXPECT_TRUE(empty.ok());
    EXPECT_EQ(empty.bytes, "");
}

TEST_F(RegularFileTest, FifoDirectoryDeviceAndMissingFileAreRefusedWithoutBlocking) {
    // No writer ever opens the FIFO: a blocking open would hang this test.
    const FileText from_fifo = read_regular_file(fifo(), kSmallFileMax, "the settings file");
    EXPECT_EQ(from_fifo.status, FileStatus::NotRegular);
    EXPECT_THAT(from_fifo.reason, HasSubstr("is a FIFO, not a regular file"));
    EXPECT_EQ(read_regular_file(dir_.path().string(), 10, "x").status, FileStatus::NotRegular);
    const FileText zero = read_regular_file("/dev/zero", kSmallFileMax, "the settings file");
    EXPECT_EQ(zero.status, FileStatus::NotRegular);
    EXPECT_EQ(zero.reason, "the settings file: \"/dev/zero\" is a device, not a regular file");
    const FileText missing = read_regular_file((dir_ / "none").string(), 10, "the plan");
    EXPECT_EQ(missing.status, FileStatus::Missing);
    EXPECT_EQ(missing.error, ENOENT);
    // Opening for writing: the same refusal, and the FIFO still has no writer.
    const RegularFd w = open_regular_file((dir_ / "fifo").string(), O_WRONLY | O_APPEND);
    EXPECT_EQ(w.status, FileStatus::NotRegular);
    EXPECT_EQ(w.fd, -1);
}

TEST_F(RegularFileTest, AnOpenedRegularFileIsBlockingAgainAndClosedByItsOwner) {
    const RegularFd file = open_regular_file(put("r.txt", "abc"), O_RDONLY);
    ASSERT_TRUE(file.ok()) << file.reason;
    EXPECT_EQ(::fcntl(file.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(file.fd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(RegularFileTest, SettingsFileThatIsAFifoDeviceOrTooLargeReadsEmptyAndRefusesWrites) {
    const std::string pipe = fifo();
    EXPECT_EQ(ReadProfileValue("Server", "IP", pipe), "");
    EXPECT_EQ(WriteProfileValue("Server", "IP", "10.0.0.1", pipe), EINVAL);
    struct stat st {};
    ASSERT_EQ(::stat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));  // not replaced by a regular file

    const std::string zero = (dir_ / "zero.ini").string();
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    EXPECT_EQ(ReadProfileValue("Server", "IP", zero), "");
    EXPECT_EQ(WriteProfileValue("Server", "IP", "10.0.0.1", zero), EINVAL);

    const std::string big =
        put("big.ini", "[Server]\nIP=10.0.0.9\n" + std::string(kSmallFileMax, ';'));
    EXPECT_EQ(ReadProfileValue("Server", "IP", big), "");
    EXPECT_EQ(WriteProfileValue("Server", "IP", "10.0.0.1", big), EFBIG);
    // Just under the limit is an ordinary settings file.
    const std::string near =
        put("near.ini", "[Server]\nIP=10.0.0.9\n;" + std::string(kSmallFileMax - 30, ' ') + "\n");
    EXPECT_EQ(ReadProfileValue("server", "ip", near), "10.0.0.9");
}

TEST(FindProfileValueTest, ReadsTheSameRulesFromText) {
    EXPECT_EQ(FindProfileValue("\xEF\xBB\xBF[Server]\r\nIP = '10.0.0.1' \r\n", "SERVER", "ip"),
              "10.0.0.1");
    EXPECT_EQ(FindProfileValue("[Multcast]\nIP=239.1.1.1\n[Server]\nIP=1.2.3.4", "Server", "IP"),
              "1.2.3.4");
    EXPECT_EQ(FindProfileValue(std::string("[Server]\nIP=1\0x\n", 16), "Server", "Port"), "");
}

}  // namespace
}  // namespace kestrel
