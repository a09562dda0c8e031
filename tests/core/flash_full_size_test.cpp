// The whole job at full size against the simulated device on loopback: write a 4 MiB image,
// read the chip back into "flash.bin", verify, and compare with the chip byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "flash/core/flash_procedures.h"
#include "platform/ticks.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;

class FlashFullSize : public FlashSimFixture {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.log_exchanges = false;  // some 1.7 million exchanges
        return o;
    }
    static void expect_progress_of_a_whole_chip(const std::vector<int>& progress) {
        ASSERT_EQ(progress.size(), static_cast<std::size_t>(kFlashPages));
        EXPECT_EQ(progress[0], 0);
        EXPECT_EQ(progress[162], 0);
        EXPECT_EQ(progress[163], 1);
        EXPECT_EQ(progress[327], 2);
        EXPECT_EQ(progress[16382], 99);
        EXPECT_EQ(progress[16383], 100);
    }
};

TEST_F(FlashFullSize, WriteReadBackAndVerifyAFourMiBImage) {
    load_chip(pattern_bytes(kFlashSize, 99));
    const ByteVector image = pattern_bytes(kFlashSize, 1);
    const auto image_path = dir_ / "update.bin";
    write_file(image_path, image);

    RecordingReporter write_reporter;
    int erase_wait = -1;
    const std::uint64_t write_start = monotonic_us();
    write_flash_from_file(image_path.string(), dir_.path(), erase_wait, write_reporter);
    const double write_s = static_cast<double>(monotonic_us() - write_start) / 1e6;
    EXPECT_THAT(write_reporter.boxes(), ElementsAre("Write Over !!! please Read Flash for check!"));
    EXPECT_EQ(write_reporter.last_status(), "Flash write finished!");
    expect_progress_of_a_whole_chip(write_reporter.progress());
    EXPECT_THAT(sleeps_.sleeps(), ElementsAre(13000u));

    RecordingReporter read_reporter;
    const std::uint64_t read_start = monotonic_us();
    read_flash_to_file(dir_.path(), read_reporter);
    const double read_s = static_cast<double>(monotonic_us() - read_start) / 1e6;
    EXPECT_TRUE(read_reporter.boxes().empty());
    EXPECT_EQ(read_reporter.last_status(), "Flash read finished!");
    expect_progress_of_a_whole_chip(read_reporter.progress());

    verify_flash_file(image_path.string(), dir_.path(), reporter_);
    EXPECT_THAT(reporter_.boxes(), ElementsAre("Verify OK !!!!"));

    const ByteVector dump = read_file(dir_ / kDumpFileName);
    ASSERT_EQ(dump.size(), kFlashSize);
    EXPECT_TRUE(dump == chip_bytes());
    EXPECT_TRUE(dump == image);

    const auto counters = server_->counters();
    std::printf(
        "full-size write %.1f s (13 s erase pause not slept), read %.1f s, %llu exchanges\n",
        write_s, read_s, static_cast<unsigned long long>(counters.reads + counters.writes));
    RecordProperty("write_seconds", std::to_string(write_s));
    RecordProperty("read_seconds", std::to_string(read_s));
}

}  // namespace
}  // namespace kestrel::test
