// Every fault the simulator injects, against a flash read and a flash write: the procedure ends
// with the dump equal to the chip, or the chip equal to the image, or with a failure it
// reports; never with a success over wrong bytes. Rates are high and runs a few pages long, so
// that each mode strikes several times in well under a minute.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "flash/core/flash_procedures.h"
#include "sim/faults.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

struct FaultMode {
    const char* name;
    sim::LinkFaults faults;
    int read_pages;
    int write_pages;
};

sim::LinkFaults with(sim::LinkFaults f, std::uint32_t late_min, std::uint32_t late_max,
                     std::uint32_t dup_gap_us = 200, std::uint32_t reply_delay_us = 0) {
    f.late_reply_ms = late_min;
    f.late_reply_max_ms = late_max;
    f.dup_gap_us = dup_gap_us;
    f.reply_delay_us = reply_delay_us;
    return f;
}

const FaultMode kModes[] = {
    {"LostRequests", {.seed = 101, .lose_request = 0.01}, 6, 6},
    {"LostReplies", {.seed = 102, .lose_reply = 0.01}, 6, 6},
    {"Naks", {.seed = 103, .nak = 0.02}, 8, 8},
    {"OtherPortReplies", {.seed = 108, .other_port_reply = 0.01}, 6, 6},
    {"ForeignDatagrams", {.seed = 109, .foreign_datagram = 0.02}, 6, 6},
    {"DuplicatedReplies", with({.seed = 110, .dup_reply = 0.02}, 60, 0, 150), 8, 8},
    {"DuplicatedRepliesLongGap", with({.seed = 111, .dup_reply = 0.02}, 60, 0, 3000), 8, 8},
    {"ReplyDelayWithLosses", with({.seed = 114, .lose_reply = 0.005}, 60, 0, 200, 300), 6, 6},
};

// Late replies that are not released by the next request can land in the 50 ms wait of an
// exchange whose own reply never comes, and fit it: see
// LateReplyOfAChunkIsNeverStoredAsAnotherChunk below.
const FaultMode kLateModes[] = {
    {"LateFixed", with({.seed = 104, .late_reply = 0.01}, 120, 0), 6, 6},
    {"LateRange", with({.seed = 105, .late_reply = 0.01}, 60, 1000), 6, 6},
    {"LateReleasedByNextRequest",
     with({.seed = 106, .late_reply = 0.01, .late_next = 1.0}, 60, 1000), 6, 6},
    {"LateHalfReleased", with({.seed = 107, .late_reply = 0.01, .late_next = 0.5}, 60, 1000), 6, 6},
    {"Mix",
     with({.seed = 115,
           .lose_request = 0.003,
           .lose_reply = 0.003,
           .nak = 0.003,
           .late_reply = 0.003,
           .late_next = 0.5,
           .dup_reply = 0.003},
          60, 1000, 200, 300),
     8, 8},
    {"MixWithDuplicatedRequests",
     with({.seed = 116,
           .lose_request = 0.003,
           .lose_reply = 0.003,
           .nak = 0.003,
           .late_reply = 0.003,
           .late_next = 0.5,
           .dup_reply = 0.003,
           .dup_request = 0.003},
          60, 1000, 200, 300),
     8, 8},
};

// Duplicated requests: see DuplicatedDataWriteInAnAbandonedLoadIsNotProgrammedOver below for
// the write under them.
const FaultMode kDuplicatedRequests[] = {
    {"DuplicatedRequests", with({.seed = 112, .dup_request = 0.02}, 60, 0, 200), 8, 8},
    {"DuplicatedRequestsLongGap", with({.seed = 113, .dup_request = 0.02}, 60, 0, 3000), 8, 8},
};

class FlashFaultModes : public FlashSimFixture, public ::testing::WithParamInterface<FaultMode> {
  protected:
    ReplyWaitFloor floor_{kRecoveryTestFloorUs};  // recovery as it runs for real
    std::uint64_t injected() { return server_->counters().faults.total(); }
};
class FlashReadFaultModes : public FlashFaultModes {};

TEST_P(FlashReadFaultModes, ReadDumpsTheChipOrReportsFailure) {
    const FaultMode& mode = GetParam();
    load_chip(pattern_bytes(kFlashSize, 7));
    server_->set_faults(mode.faults);
    read_flash_to_file(dir_.path(), reporter_, {mode.read_pages});
    server_->set_faults(sim::LinkFaults{});

    EXPECT_GT(injected(), 0u) << "the mode never struck";
    const std::string status = reporter_.last_status();
    if (status == "Flash read finished!") {
        EXPECT_TRUE(reporter_.boxes().empty());
        const ByteVector dump = read_file(dir_ / kDumpFileName);
        ASSERT_EQ(dump.size(), static_cast<std::size_t>(mode.read_pages) * kPageSize);
        const ByteVector chip = chip_bytes(dump.size());
        EXPECT_TRUE(dump == chip) << "FALSE SUCCESS: the dump is not the chip";
    } else {
        // "Flash read failed!", or an end before the pages such as a misread chip id.
        EXPECT_EQ(reporter_.boxes().size(), 1u) << status;
        EXPECT_FALSE(std::filesystem::exists(dir_ / kDumpFileName));
    }
}

TEST_P(FlashFaultModes, WriteProgramsTheImageOrReportsFailure) {
    const FaultMode& mode = GetParam();
    const std::size_t bytes = static_cast<std::size_t>(mode.write_pages) * kPageSize;
    load_chip(pattern_bytes(bytes, 8));  // an old image that the erase must remove
    const ByteVector image = pattern_bytes(bytes, 9);
    write_file(dir_ / "update.bin", image);
    server_->set_faults(mode.faults);
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {mode.write_pages});
    server_->set_faults(sim::LinkFaults{});

    EXPECT_GT(injected(), 0u) << "the mode never struck";
    const std::string status = reporter_.last_status();
    if (status == "Flash write finished!") {
        EXPECT_THAT(reporter_.boxes(),
                    ::testing::ElementsAre("Write Over !!! please Read Flash for check!"));
        EXPECT_TRUE(chip_bytes(bytes) == image) << "FALSE SUCCESS: the chip is not the image";
    } else {
        // "Flash write failed!", or an end before the pages such as a misread chip id.
        const auto boxes = reporter_.boxes();
        ASSERT_FALSE(boxes.empty()) << status;
        EXPECT_NE(boxes.front(), "Write Over !!! please Read Flash for check!") << status;
    }
}

auto mode_name = [](const auto& mode) { return std::string(mode.param.name); };
INSTANTIATE_TEST_SUITE_P(EachMode, FlashFaultModes, ::testing::ValuesIn(kModes), mode_name);
INSTANTIATE_TEST_SUITE_P(EachMode, FlashReadFaultModes, ::testing::ValuesIn(kModes), mode_name);
INSTANTIATE_TEST_SUITE_P(DuplicatedRequests, FlashReadFaultModes,
                         ::testing::ValuesIn(kDuplicatedRequests), mode_name);
INSTANTIATE_TEST_SUITE_P(LateReplies, FlashFaultModes, ::testing::ValuesIn(kLateModes), mode_name);
INSTANTIATE_TEST_SUITE_P(LateReplies, FlashReadFaultModes, ::testing::ValuesIn(kLateModes),
                         mode_name);

// A page load abandoned after a fault is still programmed: the next transaction's chip select
// ends the Page Program, and the chip programs whatever it had taken. A duplicated SPI_PP_DATA
// request puts a word twice into that load, so the bytes programmed are shifted; the page is
// then loaded again and programmed clean over them (NOR programming only clears bits), and as
// that second program saw no fault the page is not read back: "Flash write finished!" over a
// page that differs from the image. Seen under duplicated requests at 2%. A page whose load was
// abandoned is therefore read back before it counts as programmed.
TEST_F(FlashFaultModes, DuplicatedDataWriteInAnAbandonedLoadIsNotProgrammedOver) {
    // Where the copy lands depends on the machine's timing, so the same seeded write is tried
    // a few times; on the development machine about one try in 25 ended in a false success.
    constexpr int kPages = 8;
    const ByteVector image = pattern_bytes(kPages * kPageSize, 9);
    write_file(dir_ / "update.bin", image);
    for (int attempt = 0; attempt < 60; ++attempt) {
        load_chip(pattern_bytes(kPages * kPageSize, 8));
        sim::LinkFaults f{.seed = 112, .dup_request = 0.02};
        f.dup_gap_us = 200;
        server_->set_faults(f);
        RecordingReporter reporter;
        int erase_wait = -1;
        write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter,
                              {kPages});
        server_->set_faults(sim::LinkFaults{});
        if (reporter.last_status() == "Flash write finished!") {
            ASSERT_TRUE(chip_bytes(image.size()) == image)
                << "FALSE SUCCESS on try " << attempt + 1;
        }
    }
}

// Late replies alone, each 60 ms after its request (10 ms after the link's time-out), at one
// exchange in 500 over 512 pages: "Flash read finished!" with 8-byte chunks in "flash.bin"
// that hold the bytes of other addresses read earlier. A read reply of SPI_CTRL that comes
// late fits a later read of SPI_CTRL in every way the link can check (register, length,
// acknowledgement), so a chunk of a later page takes it. Seen with seed 104 on every run, and
// by kestrel-soak with --rate 0 --late-reply 0.002. A read of SPI_CTRL while an earlier one
// still owes its reply is therefore read twice, and a page is confirmed by a probe.
TEST_F(FlashFaultModes, LateReplyOfAChunkIsNeverStoredAsAnotherChunk) {
    constexpr int kPages = 512;
    load_chip(pattern_bytes(kFlashSize, 7));
    server_->set_faults({.seed = 104, .late_reply = 0.002});
    read_flash_to_file(dir_.path(), reporter_, {kPages});
    server_->set_faults(sim::LinkFaults{});
    ASSERT_GT(server_->counters().faults.late_replies, 0u);
    if (reporter_.last_status() == "Flash read finished!") {
        const ByteVector dump = read_file(dir_ / kDumpFileName);
        const ByteVector chip = chip_bytes(kPages * kPageSize);
        EXPECT_TRUE(dump == chip) << "FALSE SUCCESS";
    }
}

// The same on a write: a lost SPI_PP_DATA request whose 50 ms wait takes the late reply of an
// earlier SPI_PP_DATA write looks acknowledged, so the page is programmed one word short and
// the program, clean, is not read back: "Flash write finished!" over a shifted page. Seen by
// kestrel-soak --reads 0 --writes 2 --pages 512 --seed 4 --no-baseline (both runs). A late
// repeat of the last acknowledgement now has its page read back.
TEST_F(FlashFaultModes, LostDataWriteNeverTakesTheLateReplyOfAnEarlierOne) {
    constexpr int kPages = 512;
    const ByteVector image = pattern_bytes(kPages * kPageSize, 13);
    write_file(dir_ / "update.bin", image);
    for (std::uint64_t seed = 5; seed < 10; ++seed) {
        sim::LinkFaults f{.seed = seed, .lose_request = 0.002, .late_reply = 0.002};
        f.late_reply_ms = 60;
        f.late_reply_max_ms = 1000;
        server_->set_faults(f);
        RecordingReporter reporter;
        int erase_wait = -1;
        write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter,
                              {kPages});
        server_->set_faults(sim::LinkFaults{});
        if (reporter.last_status() == "Flash write finished!") {
            ASSERT_TRUE(chip_bytes(image.size()) == image) << "FALSE SUCCESS, seed " << seed;
        }
    }
}

// A fixed service latency alone is no fault: nothing times out and every page comes through.
class FlashUnderLatency : public FlashSimFixture {};

TEST_F(FlashUnderLatency, ReadAndWriteSucceedExactlyWithoutRetries) {
    constexpr int kPages = 4;
    const ByteVector image = pattern_bytes(kPages * kPageSize, 10);
    write_file(dir_ / "update.bin", image);
    sim::LinkFaults f;
    f.reply_delay_us = 300;
    server_->set_faults(f);
    // A device that answers this slowly from the start: the link learns its round trips anew.
    ASSERT_TRUE(open_link(server_->address(), server_->port()));
    int erase_wait = -1;
    write_flash_from_file((dir_ / "update.bin").string(), dir_.path(), erase_wait, reporter_,
                          {kPages});
    EXPECT_EQ(reporter_.last_status(), "Flash write finished!");
    EXPECT_TRUE(chip_bytes(image.size()) == image);

    RecordingReporter read_reporter;
    read_flash_to_file(dir_.path(), read_reporter, {kPages});
    EXPECT_EQ(read_reporter.last_status(), "Flash read finished!");
    EXPECT_TRUE(read_file(dir_ / kDumpFileName) == image);
    // A reply slower than even the test's 50 ms wait on a very loaded machine may cost one.
    EXPECT_LE(traces_.count("READ Reg32, ACK error! "), 2);
    EXPECT_LE(traces_.count("WRITE Reg32, ACK error! "), 2);
    int restarts = 0;
    for (const auto& line : traces_.lines())
        restarts += line.find("again") != std::string::npos;
    // A reply slower than usual (a loaded machine) may cost a page its first try, no more.
    EXPECT_LE(restarts, 2 * kPages) << ::testing::PrintToString(traces_.lines());
}

}  // namespace
}  // namespace kestrel::test
