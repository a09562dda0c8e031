// A device that stops answering in the middle of a read or a write: kestrelctl says so within
// seconds and exits 3 (no device), not 6 (the link gave up) after minutes of tries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "cli_fixture.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

class DeviceGoneTest : public CliFixture {
  protected:
    void TearDown() override {
        set_hook({});  // the conditions below hold references to the tests' locals
        CliFixture::TearDown();
    }
    // From the moment gone() first holds (checked on the server thread after each served
    // datagram, with the server lock held) the device takes no request any more.
    template <typename Gone>
    void go_silent_when(Gone gone) {
        set_hook([this, gone](const sim::Exchange& ex) {
            if (silenced_ || !gone(ex)) return;
            silenced_ = true;
            server_->set_faults_locked({.lose_request = 1.0});
        });
    }
    // Runs kestrelctl and returns how long it took, in seconds.
    double timed_run(const std::vector<std::string>& args, CliRun& r) {
        const auto start = std::chrono::steady_clock::now();
        r = run(args);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // With --json: the error names the device as gone, exit 3, within seconds.
    static void expect_named_gone(const CliRun& r, double seconds) {
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_THAT(r.out, HasSubstr("\"error\":\"the device stopped answering"));
        EXPECT_THAT(r.out, HasSubstr("\"ok\":false"));
        EXPECT_THAT(r.out, HasSubstr("\"code\":\"no-device\",\"exit_code\":3"));
        // A dozen 50 ms waits and the few exchanges of winding down, not 38 s of polls.
        EXPECT_LT(seconds, 8.0);
    }

    std::atomic<bool> silenced_{false};
};

TEST_F(DeviceGoneTest, ReadOfADeviceThatStopsAnsweringExitsThreeAndLeavesNoDump) {
    load_chip(pattern_bytes(kFlashSize));
    // After 20 pages of data reads (32 chunks each).
    int chunks = 0;
    go_silent_when([&chunks](const sim::Exchange& ex) {
        return ex.kind == sim::Exchange::Kind::Read && ex.address == SPI_CTRL && ++chunks > 20 * 32;
    });
    const auto dump = dir_ / "dump.bin";
    CliRun r;
    const double seconds = timed_run({"read", dump.string(), "--length", "0x10000"}, r);
    ASSERT_TRUE(silenced_);
    EXPECT_EQ(r.code, 3);
    EXPECT_THAT(r.err, HasSubstr("kestrelctl read: the device stopped answering ("));
    EXPECT_LT(seconds, 8.0);
    EXPECT_FALSE(std::filesystem::exists(dump));
}

TEST_F(DeviceGoneTest, WriteToADeviceThatStopsAnsweringWhileProgrammingExitsThree) {
    go_silent_when([this](const sim::Exchange&) { return device_.flash().page_programs() >= 10; });
    CliRun r;
    const double seconds = timed_run({"--json", "write", image_file(pattern_bytes(64 * 256))}, r);
    ASSERT_TRUE(silenced_);
    expect_named_gone(r, seconds);
    EXPECT_THAT(r.out, HasSubstr("\"pages_verified\":0"));
}

TEST_F(DeviceGoneTest, WriteToADeviceThatStopsAnsweringDuringTheEraseExitsThree) {
    // Silent once the chip erase has been taken: the status polls after the pause meet nothing.
    go_silent_when([this](const sim::Exchange&) { return device_.flash().chip_erases() >= 1; });
    CliRun r;
    const double seconds = timed_run({"--json", "write", image_file(pattern_bytes(64 * 256))}, r);
    ASSERT_TRUE(silenced_);
    expect_named_gone(r, seconds);
    EXPECT_THAT(r.out, HasSubstr("\"erased\":true"));
    EXPECT_THAT(r.out, HasSubstr("\"device_state\":\"chip erase under way; run write --resume\""));
    EXPECT_EQ(page_programs(), 0);
    // The 13 s pause after the erase is counted, not slept; no 1 s and 3 s polls follow it.
    EXPECT_LT(slept_ms(), 14000u);
}

TEST_F(DeviceGoneTest, BatchUnitWhoseDeviceStopsAnsweringDuringTheEraseExitsThree) {
    // The batch's child meets the same silent erase as write; its summary line says the device
    // went, not that the chip is wrong.
    go_silent_when([this](const sim::Exchange&) { return device_.flash().chip_erases() >= 1; });
    CliRun r;
    const double seconds =
        timed_run({"--json", "unit", "--image", image_file(pattern_bytes(64 * 256))}, r);
    ASSERT_TRUE(silenced_);
    expect_named_gone(r, seconds);
    EXPECT_EQ(page_programs(), 0);
}

}  // namespace
}  // namespace kestrel::test
