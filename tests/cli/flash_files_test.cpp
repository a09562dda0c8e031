// The files the flash commands take and make: images over 4 MiB, files that are not regular,
// whole-file comparison, dumps that appear only when complete, a trace that can't be written,
// and reads and verifies of a region of the chip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "cli_fixture.h"
#include "fifo_end.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

class FlashFilesTest : public CliFixture {
  protected:
    std::size_t files_in_dir() {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()));
    }
};

// A folder without room for the dump is refused before anything is sent: a 64 KiB tmpfs,
// mounted in a mount namespace of kestrelctl's own (unshare -rm; skipped where the machine
// allows none).
TEST_F(FlashFilesTest, DumpThatCantFitIsRefusedBeforeAnyDatagram) {
    const std::string mount = (dir_ / "tiny").string();
    std::filesystem::create_directories(mount);
    const std::string err = (dir_ / "err.txt").string();
    const std::uint64_t before = requests();
    const std::string cmd = "unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs \"" + mount +
                            "\" || exit 99; exec \"" KESTRELCTL_PATH "\" --device " +
                            device_text() + " read \"" + mount + "/flash.bin\"' 2>'" + err + "'";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 99 || WEXITSTATUS(status) == 1)
        GTEST_SKIP() << "no mount namespace here: " << slurp(std::fopen(err.c_str(), "r"));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_THAT(slurp(std::fopen(err.c_str(), "r")),
                HasSubstr("\"" + mount +
                          "\" has room for 65536 bytes, fewer than the 4194304"
                          " to write"));
    EXPECT_EQ(requests(), before);
}

TEST_F(FlashFilesTest, ImageOver4MiBIsRefusedUnlessTruncated) {
    const std::uint64_t before = requests();
    const std::string big = image_file(pattern_bytes(kFlashSize + 1), "big.bin");
    const CliRun r = run({"write", big});
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("kestrelctl write: \"" + big +
                                 "\" holds 4194305 bytes, more than the chip's "
                                 "4194304; add --truncate to use its first 4194304\n"));
    EXPECT_EQ(requests(), before);

    // At the chip's last page only 256 bytes fit; --truncate writes those.
    const ByteVector two_pages = pattern_bytes(512);
    const std::string tail = image_file(two_pages, "tail.bin");
    EXPECT_EQ(run({"write", tail, "--offset", "0x3fff00"}).code, 2);
    const CliRun cut = run({"--json", "write", tail, "--offset", "0x3fff00", "--truncate"});
    ASSERT_EQ(cut.code, 0) << cut.err;
    EXPECT_THAT(cut.out, HasSubstr("\"image_bytes\":256"));
    const ByteVector chip = chip_bytes();
    EXPECT_TRUE(std::equal(two_pages.begin(), two_pages.begin() + 256, chip.end() - 256));
}

TEST_F(FlashFilesTest, VerifyAgainstComparesPast4MiB) {
    ByteVector a = pattern_bytes(5 * 1024 * 1024);
    ByteVector b = a;
    b[0x480001] ^= 0x40;
    const CliRun r = run(
        {"--json", "verify", image_file(a, "a.bin"), "--against", image_file(b, "b.bin")}, false);
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("\"first_difference\":4718593"));
    EXPECT_THAT(r.out, HasSubstr("differs from the image at 0x480001"));
}

TEST_F(FlashFilesTest, FilesThatAreNotRegularAreRefusedWithoutWaiting) {
    const auto fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string image = image_file(pattern_bytes(1000));
    const CliRun against = run({"verify", image, "--against", fifo.string()}, false);
    EXPECT_EQ(against.code, 5);
    EXPECT_THAT(against.err, HasSubstr("kestrelctl verify: \"" + fifo.string() +
                                       "\" is a FIFO, not a regular file\n"));

    const CliRun dir = run({"write", dir_.path().string()});
    EXPECT_EQ(dir.code, 5);
    EXPECT_THAT(dir.err, HasSubstr("kestrelctl write: \"" + dir_.path().string() +
                                   "\" is a directory, not a regular file\n"));
    EXPECT_THAT(run({"verify", "/dev/null"}).err,
                HasSubstr("\"/dev/null\" is a character device, not a regular file"));
    EXPECT_THAT(run({"verify", fifo.string()}).err, HasSubstr("is a FIFO"));
    // The files the commands make say what stands in their way, too.
    const CliRun dump = run({"read", "/dev/null"});
    EXPECT_EQ(dump.code, 5);
    EXPECT_THAT(dump.err,
                HasSubstr("kestrelctl read: \"/dev/null\" exists and is a character device\n"));
    EXPECT_THAT(run({"write", image, "--backup", fifo.string()}).err,
                HasSubstr("exists and is a FIFO\n"));
    EXPECT_EQ(page_programs(), 0);
}

TEST_F(FlashFilesTest, DumpIsMadeOnlyOnceTheReadIsCompleteWithTheUmasksMode) {
    const ByteVector chip = pattern_bytes(kFlashSize, 7);
    load_chip(chip);
    std::size_t seen_during_read = 99;
    int reads = 0;
    set_hook([&](const sim::Exchange& ex) {
        if (ex.kind == sim::Exchange::Kind::Read && ex.address == 0x08 && ++reads == 200)
            seen_during_read = files_in_dir();
    });
    const mode_t old_mask = ::umask(077);
    const auto dump = dir_ / "cal.bin";
    const CliRun r = run({"read", dump.string(), "--offset", "0x1234", "--length", "3000"});
    ::umask(old_mask);
    set_hook({});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(seen_during_read, 0u);
    EXPECT_EQ(read_file(dump), ByteVector(chip.begin() + 0x1234, chip.begin() + 0x1234 + 3000));
    EXPECT_THAT(r.out,
                HasSubstr("read 3000 bytes from 0x001234 to 0x001deb into " + dump.string()));
    struct stat st {};
    ASSERT_EQ(::stat(dump.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(files_in_dir(), 1u);
}

TEST_F(FlashFilesTest, RegionsThatRunPastTheChipAreRefused) {
    const std::uint64_t before = requests();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"read", "x.bin", "--offset", "0x400000"},
             {"read", "x.bin", "--offset", "0x3fff00", "--length", "257"},
             {"read", "x.bin", "--length", "0"},
             {"read", "x.bin", "--offset", "12ab"},
             {"verify", "x.bin", "--offset", "0x10", "--against", "y.bin"},
         }) {
        EXPECT_EQ(run(args).code, 2) << ::testing::PrintToString(args);
    }
    EXPECT_THAT(run({"read", "x.bin", "--offset", "0x3fff00", "--length", "257"}).err,
                HasSubstr("kestrelctl read: the region 0x3fff00 + 257 bytes runs past the chip's "
                          "end at 0x400000\n"));
    // A refused argument is shown escaped: a typed escape sequence never reaches the terminal.
    EXPECT_THAT(run({"read", "x.bin", "--length", "1\x1b[2J"}).err,
                HasSubstr("--length \"1\\x1b[2J\" is not 1 to 4194304 bytes"));
    EXPECT_THAT(run({"write", "x.bin", "--offset", "\x1b]0;t\x07"}).err,
                HasSubstr("--offset \"\\x1b]0;t\\x07\" is not an address"));
    EXPECT_EQ(requests(), before);
}

TEST_F(FlashFilesTest, VerifyAtAnOffsetNamesTheChipAddress) {
    ByteVector chip(kFlashSize, 0xFF);
    const ByteVector image = pattern_bytes(700);
    std::copy(image.begin(), image.end(), chip.begin() + 0x2010);
    load_chip(chip);
    const std::string path = image_file(image);
    const CliRun same = run({"verify", path, "--offset", "0x2010"});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_THAT(same.out,
                HasSubstr("equal: the device holds the 700 bytes of " + path + " at 0x002010"));
    const CliRun off = run({"--json", "verify", path, "--offset", "0x2011"});
    EXPECT_EQ(off.code, 1);
    EXPECT_THAT(off.out, HasSubstr("\"first_difference\":8209,\"bad_page\":32"));
}

TEST_F(FlashFilesTest, ATraceThatCantBeWrittenIsSaidOnceAndFailsTheRun) {
    // A FIFO whose reader stopped reading: the pipe is full and stays so.
    const std::string fifo = (dir_ / "trace.fifo").string();
    FifoEnd reader(fifo);
    ASSERT_GE(reader.fd(), 0);
    ASSERT_TRUE(reader.fill(fifo));
    const auto start = std::chrono::steady_clock::now();
    const CliRun r = run({"--trace", fifo, "info"});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.code, 5);
    const std::string said =
        "can't write the trace file \"" + fifo + "\": its reader made no room for 2000 ms";
    EXPECT_THAT(r.err, HasSubstr("kestrelctl info: " + said));
    EXPECT_EQ(r.err.find(said), r.err.rfind(said));
    // One stall of 2 s, not one for each line, and never a hang.
    EXPECT_LT(seconds, 2.0 + 3.0);
    const CliRun json = run({"--json", "--trace", fifo, "info"});
    EXPECT_EQ(json.code, 5);
    EXPECT_THAT(json.out, HasSubstr("\"ok\":false"));
}

}  // namespace
}  // namespace kestrel::test
