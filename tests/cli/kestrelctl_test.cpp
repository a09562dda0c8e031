#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "cli/exit_codes.h"
#include "cli_fixture.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

class KestrelctlTest : public CliFixture {};

TEST_F(KestrelctlTest, InfoJsonIsOneObjectWithTheDevicesValues) {
    device_.config().set_mac({0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6});
    device_.config().set_ts_port(4321);
    device_.config().set_multicast_enable(1);
    const CliRun r = run({"--json", "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_THAT(r.out, HasSubstr("\"command\":\"info\",\"ok\":true"));
    EXPECT_THAT(r.out, HasSubstr("\"mac\":\"a1:b2:c3:d4:e5:f6\""));
    EXPECT_THAT(r.out, HasSubstr("\"ts_port\":4321"));
    EXPECT_THAT(r.out, HasSubstr("\"multicast\":true"));
    EXPECT_THAT(r.out, HasSubstr("\"flash_id\":\"c22016\",\"flash_ok\":true"));
}

TEST_F(KestrelctlTest, InfoWithoutAFlashChipExitsFour) {
    with_chip([](sim::NorFlash& chip) { chip.set_jedec_id({0x00, 0x00, 0x00}); });
    const CliRun r = run({"--json", "info"});
    EXPECT_EQ(r.code, 4);
    EXPECT_THAT(r.out, HasSubstr("\"flash_ok\":false"));
    EXPECT_THAT(r.out, HasSubstr("\"code\":\"flash-chip\""));
}

TEST_F(KestrelctlTest, BadInputExitsTwoAndSendsNothing) {
    const std::string image = image_file(pattern_bytes(1000));
    const std::vector<std::vector<std::string>> cases = {
        {"--device", "10.1:5000", "info"},
        {"--device", "127.0.0.1:0", "info"},
        {"--device", "127.0.0.1:70000", "info"},
        {"--device", "0x7f.0.0.1:5000", "info"},
        {"--device", "127.0.0.1:5000 junk", "info"},
        {"--device", device_text(), "frobnicate"},
        {"--device", device_text(), "--progress", "sometimes", "info"},
        {"--device", device_text(), "read"},
        {"--device", device_text(), "read", "a.bin", "b.bin"},
        {"--device", device_text(), "write", image, "--no-verify", "--verify-all"},
        {"--device", device_text(), "write", image, "--fast"},
        {"--device", device_text(), "verify", image, "--against"},
        {"--device", device_text(), "info", "extra"},
        {"--device", device_text(), "--window", "0", "info"},
        {"--device", device_text(), "--window", "65", "info"},
        {"--device", device_text(), "--window=fast", "info"},
        {},
    };
    const std::uint64_t before = requests();
    for (const auto& args : cases) {
        const CliRun r = run(args, false);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_THAT(r.err, HasSubstr("kestrelctl")) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlTest, MissingDeviceNamesBothSourcesAndSendsNothing) {
    ::unsetenv("KESTREL_DEVICE");
    const std::uint64_t before = requests();
    const CliRun r = run({"info"}, false);
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("--device"));
    EXPECT_THAT(r.err, HasSubstr("KESTREL_DEVICE"));
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlTest, DeviceComesFromTheEnvironment) {
    device_.config().set_mac({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
    ::setenv("KESTREL_DEVICE", device_text().c_str(), 1);
    const CliRun r = run({"info"}, false);
    ::unsetenv("KESTREL_DEVICE");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("mac           00:1a:2b:3c:4d:5e"));
}

TEST_F(KestrelctlTest, BadWindowFromTheEnvironmentIsNamedAndSendsNothing) {
    ::setenv("KESTREL_WINDOW", "lots", 1);
    const std::uint64_t before = requests();
    const CliRun r = run({"info"});
    ::unsetenv("KESTREL_WINDOW");
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr("KESTREL_WINDOW takes a whole number of requests from 1 to 64 "
                                 "or auto (for example --window auto), not \"lots\""));
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlTest, WindowedReadIsExactAndSaysTheWindowItEndedWith) {
    const ByteVector chip = pattern_bytes(kFlashSize, 31);
    load_chip(chip);
    const std::string dump = (dir_ / "w.bin").string();
    const CliRun r = run({"--json", "--window", "auto", "read", "--length", "65536", dump});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(read_file(dump) == ByteVector(chip.begin(), chip.begin() + 65536));
    // 256 clean pages: the window grew from 4 to its cap of 32.
    EXPECT_THAT(r.out, HasSubstr("\"window\":32"));
    EXPECT_THAT(r.out, HasSubstr("\"window_breaks\":0"));
    // Without the option the link keeps one exchange at a time and says nothing of a window.
    const CliRun plain = run({"--json", "read", "--length", "4096", dump});
    ASSERT_EQ(plain.code, 0) << plain.err;
    EXPECT_THAT(plain.out, Not(HasSubstr("window")));
}

TEST_F(KestrelctlTest, UnreadableImageIsAFileErrorBeforeAnyDatagram) {
    const std::uint64_t before = requests();
    const CliRun r = run({"write", (dir_ / "missing.bin").string()});
    EXPECT_EQ(r.code, 5);
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlTest, SilentDeviceExitsThreeWithinTheBudget) {
    sim::Server silent(device_, sim::ServerOptions{});
    ASSERT_TRUE(silent.start());
    const std::string where = silent.address() + ":" + std::to_string(silent.port());
    silent.stop();  // nothing answers on that port any more
    const auto start = std::chrono::steady_clock::now();
    const CliRun r = run({"--device", where, "--json", "info"}, false);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.code, 3);
    EXPECT_THAT(r.out, HasSubstr("\"code\":\"no-device\""));
    EXPECT_LT(seconds, 10.0);  // 3 s of handshakes; generous for a loaded machine
}

TEST_F(KestrelctlTest, WriteLeavesTheImageAndBlankSkippingChangesNothingButTheTraffic) {
    // 40 pages: data, a blank stretch, data, and a short last page.
    ByteVector image = pattern_bytes(40 * 256 - 100);
    std::fill(image.begin() + 10 * 256, image.begin() + 20 * 256, 0xFF);
    const std::string path = image_file(image);

    load_chip(pattern_bytes(kFlashSize, 7));
    // The pages whose SPI_PP_HEAD went out. A load the link doubts (an acknowledgement that came
    // slowly on a loaded machine) is abandoned and loaded again, and the chip still programs
    // what it took of it, so the chip's own count of programs may be higher.
    std::atomic<int> blank_heads{0};
    std::atomic<int> heads{0};
    set_hook([&](const sim::Exchange& ex) {
        if (ex.kind != sim::Exchange::Kind::Write || ex.address != 0x0018) return;
        ++heads;
        const int page = ex.word[1] << 8 | ex.word[2];
        if (page >= 10 && page < 20) ++blank_heads;
    });
    const CliRun skipping = run({"write", path});
    set_hook({});
    ASSERT_EQ(skipping.code, 0) << skipping.err;
    EXPECT_EQ(chip_bytes(), as_flashed(image));
    EXPECT_GE(heads.load(), 30);
    EXPECT_EQ(blank_heads.load(), 0);
    EXPECT_GE(page_programs(), 30);
    EXPECT_THAT(skipping.out, HasSubstr("30 programmed, 10 skipped, 30 verified"));
    EXPECT_GE(slept_ms(), 13000u);

    load_chip(pattern_bytes(kFlashSize, 9));
    const CliRun all = run({"write", path, "--no-skip-blank"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(chip_bytes(), as_flashed(image));
    EXPECT_GE(page_programs(), 30 + 40);
    EXPECT_THAT(all.out, HasSubstr("40 programmed, 0 skipped, 40 verified"));
    EXPECT_EQ(chip_erases(), 2);
}

TEST_F(KestrelctlTest, WriteToAWrongChipExitsFourWithoutErasing) {
    with_chip([](sim::NorFlash& chip) { chip.set_jedec_id({0xEF, 0x40, 0x16}); });
    const CliRun r = run({"--json", "write", image_file(pattern_bytes(512))});
    EXPECT_EQ(r.code, 4);
    EXPECT_THAT(r.out, HasSubstr("\"flash_id\":\"ef4016\""));
    EXPECT_THAT(r.out, HasSubstr("\"device_state\":\"unchanged\""));
    EXPECT_EQ(chip_erases(), 0);
}

// The batch's unit takes a failed write's exit code from where write takes it: a chip that stays
// busy programming is the chip's fault, not the link's.
TEST_F(KestrelctlTest, BatchUnitWhoseChipStaysBusyProgrammingBlamesTheChip) {
    with_chip([](sim::NorFlash& chip) { chip.set_program_busy_polls(300); });
    const CliRun r = run({"--json", "unit", "--image", image_file(pattern_bytes(512))});
    EXPECT_EQ(r.code, cli::kExitFlashChip) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"flash_id\":\"c22016\""));
    EXPECT_THAT(r.out, HasSubstr("\"error\":\"write failed; the device: "));
}

TEST_F(KestrelctlTest, BatchUnitWhoseChipNeverFinishesTheEraseBlamesTheChip) {
    // Not a device gone silent (device_gone_test.cpp): the chip answers, busy, to every poll.
    with_chip([](sim::NorFlash& chip) { chip.set_hang_busy(true); });
    const CliRun r = run({"--json", "unit", "--image", image_file(pattern_bytes(512))});
    EXPECT_EQ(r.code, cli::kExitFlashChip) << r.out;
    EXPECT_THAT(r.out, HasSubstr("\"error\":\"write failed; the device: "));
    EXPECT_EQ(page_programs(), 0);
}

TEST_F(KestrelctlTest, InterruptedWriteSaysWhatTheDeviceHoldsAndResumeFinishesWithoutErase) {
    const ByteVector image = pattern_bytes(64 * 256);
    const std::string path = image_file(image);
    bool noted = false;
    set_hook([&noted](const sim::Exchange& ex) {
        // The head of page 19 (02 00 13 00 ...): a load may be sent again, so heads don't count.
        if (ex.kind == sim::Exchange::Kind::Write && ex.address == 0x18 && ex.word[0] == 0x02 &&
            ex.word[1] == 0x00 && ex.word[2] == 0x13 && ex.word[3] == 0x00 && !noted) {
            noted = true;
            cli::note_interrupt();
        }
    });
    const CliRun stopped = run({"--json", "write", path});
    set_hook({});
    EXPECT_EQ(stopped.code, 130);
    EXPECT_THAT(stopped.out, HasSubstr("\"device_state\":\"erased; pages 0 to 19 programmed; "
                                       "run write --resume\""));
    EXPECT_THAT(stopped.out, HasSubstr("\"code\":\"interrupted\""));
    ASSERT_EQ(chip_erases(), 1);

    const CliRun resumed = run({"--json", "write", path, "--resume"});
    ASSERT_EQ(resumed.code, 0) << resumed.out << resumed.err;
    EXPECT_THAT(resumed.out, HasSubstr("\"resumed\":true"));
    EXPECT_THAT(resumed.out, HasSubstr("\"pages_programmed\":44"));
    EXPECT_EQ(chip_erases(), 1);
    EXPECT_EQ(chip_bytes(), as_flashed(image));
}

TEST_F(KestrelctlTest, ResumeErasesWhenAPageHoldsSomethingElse) {
    ByteVector chip(kFlashSize, 0xFF);
    chip[5000 * 256 + 3] = 0x00;  // far past the image
    load_chip(chip);
    const ByteVector image = pattern_bytes(8 * 256);
    const CliRun r = run({"--json", "write", image_file(image), "--resume"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("\"erased\":true,\"resumed\":false"));
    EXPECT_EQ(chip_bytes(), as_flashed(image));
}

TEST_F(KestrelctlTest, SecondInterruptDuringTheEraseStopsAtOnce) {
    int interrupts = 0;
    set_hook([&interrupts](const sim::Exchange& ex) {
        // The chip erase instruction: the next sleep is the 13 s pause.
        if (ex.kind == sim::Exchange::Kind::Write && ex.address == 0x10 && ex.word[0] == 0xC7 &&
            interrupts++ == 0) {
            cli::note_interrupt();
            cli::note_interrupt();
        }
    });
    const CliRun r = run({"--json", "write", image_file(pattern_bytes(4096))});
    set_hook({});
    EXPECT_EQ(r.code, 130);
    EXPECT_LT(slept_ms(), 13000u);
    EXPECT_THAT(r.out, HasSubstr("chip erase under way; run write --resume"));
    EXPECT_EQ(page_programs(), 0);
}

TEST_F(KestrelctlTest, InterruptedReadLeavesNoFile) {
    int reads = 0;
    set_hook([&reads](const sim::Exchange& ex) {
        if (ex.kind == sim::Exchange::Kind::Read && ex.address == 0x08 && ++reads == 3000) {
            cli::note_interrupt();
        }
    });
    const auto dump = dir_ / "dump.bin";
    const CliRun r = run({"read", dump.string()});
    set_hook({});
    EXPECT_EQ(r.code, 130);
    EXPECT_THAT(r.err, HasSubstr("nothing written"));
    EXPECT_FALSE(std::filesystem::exists(dump));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              0);
}

TEST_F(KestrelctlTest, VerifyNamesTheFirstDifferingAddress) {
    ByteVector image = pattern_bytes(12 * 256);
    load_chip(as_flashed(image));
    const std::string path = image_file(image);
    const CliRun same = run({"verify", path});
    EXPECT_EQ(same.code, 0) << same.err;

    image[2 * 256 + 17] ^= 0x01;
    const CliRun differs = run({"--json", "verify", image_file(image, "other.bin")});
    EXPECT_EQ(differs.code, 1);
    EXPECT_THAT(differs.out, HasSubstr("\"first_difference\":529,\"bad_page\":2"));
}

TEST_F(KestrelctlTest, VerifyAgainstAFileNeedsNoDevice) {
    const ByteVector image = pattern_bytes(3000);
    ByteVector dump = image;
    dump.resize(5000, 0x11);
    const std::uint64_t before = requests();
    const std::string a = image_file(image, "a.bin");
    const std::string b = image_file(dump, "b.bin");
    EXPECT_EQ(run({"verify", a, "--against", b}, false).code, 0);
    dump[2999] ^= 0xFF;
    write_file(dir_ / "b.bin", dump);
    const CliRun r = run({"--json", "verify", a, "--against", b}, false);
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(r.out, HasSubstr("\"first_difference\":2999"));
    dump.resize(100);
    write_file(dir_ / "b.bin", dump);
    EXPECT_EQ(run({"verify", a, "--against", b}, false).code, 1);
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlTest, ProgressGoesToStderrAsLinesWhenNotATerminal) {
    const CliRun r = run({"write", image_file(pattern_bytes(16 * 256)), "--no-verify"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("erase   100%"));
    EXPECT_THAT(r.err, HasSubstr("program 100%"));
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    EXPECT_EQ(r.out.find("program 100%"), std::string::npos);
}

TEST_F(KestrelctlTest, TraceGoesOnlyToTheTraceFile) {
    const auto trace_path = dir_ / "trace.txt";
    const CliRun r = run({"--trace", trace_path.string(), "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    const ByteVector trace = read_file(trace_path);
    const std::string text(trace.begin(), trace.end());
    EXPECT_THAT(text, HasSubstr("ID date0: c2, date1: 20,date2: 16"));
    EXPECT_EQ(r.out.find("ID date0"), std::string::npos);
    EXPECT_EQ(r.err.find("ID date0"), std::string::npos);
}

class KestrelctlFaultTest : public CliFixture {
    sim::LinkFaults faults() override {
        sim::LinkFaults f;
        f.seed = 21;
        f.lose_reply = 0.002;
        f.lose_request = 0.002;
        f.nak = 0.002;
        f.dup_reply = 0.002;
        return f;
    }
};

TEST_F(KestrelctlFaultTest, WriteUnderFaultsEndsExactOrFailed) {
    const ByteVector image = pattern_bytes(48 * 256);
    const CliRun r = run({"--json", "write", image_file(image)});
    if (r.code == 0) {
        EXPECT_EQ(chip_bytes(), as_flashed(image));
        EXPECT_THAT(r.out, HasSubstr("\"pages_verified\":48"));
    } else {
        EXPECT_THAT(r.out, HasSubstr("\"ok\":false"));
    }
    EXPECT_NE(r.code, 130);
}

}  // namespace
}  // namespace kestrel::test

namespace kestrel::test {
namespace {

class KestrelctlSetTest : public CliFixture {};

TEST_F(KestrelctlSetTest, SetChangesTheBlockAndPrintsItAsReadBack) {
    const CliRun ts = run({"--json", "set", "ts-port", "4321"});
    ASSERT_EQ(ts.code, 0) << ts.out << ts.err;
    EXPECT_EQ(device_.config().ts_port(), 4321);
    EXPECT_THAT(ts.out, HasSubstr("\"ts_port\":4321"));

    const CliRun mac = run({"set", "mac", "A2:b2:c3:d4:e5:f6"});
    ASSERT_EQ(mac.code, 0) << mac.err;
    EXPECT_EQ(device_.config().mac(),
              (std::array<std::uint8_t, 6>{0xa2, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}));
    EXPECT_THAT(mac.out, HasSubstr("mac           a2:b2:c3:d4:e5:f6"));

    const CliRun mip = run({"set", "multicast-ip", "239.2.3.4"});
    ASSERT_EQ(mip.code, 0) << mip.err;
    const CliRun on = run({"--json", "set", "multicast", "on"});
    ASSERT_EQ(on.code, 0) << on.err;
    EXPECT_EQ(device_.config().multicast_enable(), 1);
    EXPECT_THAT(on.out, HasSubstr("\"multicast\":true,\"multicast_ip\":\"239.2.3.4\""));
}

TEST_F(KestrelctlSetTest, ValuesThatCantBeRightAreRefusedBeforeAnyDatagram) {
    const std::uint64_t before = requests();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"set", "ip", "192.168.1.60"},
             {"set", "ip", "192.168.1.60:0"},
             {"set", "ip", "0.0.0.0:5000"},
             {"set", "ip", "255.255.255.255:5000"},
             {"set", "ip", "239.1.1.1:5000"},
             {"set", "ip", "127.0.0.010junk:5000"},
             {"set", "mac", "a1:b2:c3:d4:e5"},
             {"set", "mac", "a1:b2:c3:d4:e5:g6"},
             {"set", "ts-port", "0"},
             {"set", "ts-port", "70000"},
             {"set", "multicast", "yes"},
             {"set", "multicast-ip", "10.0.0.1"},
             {"set", "volume", "11"},
             {"set", "ts-port"},
         }) {
        const CliRun r = run(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_THAT(r.err, HasSubstr("set")) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(requests(), before);
}

TEST_F(KestrelctlSetTest, MulticastBroadcastAndAllZeroMacsAreRefusedBeforeAnyDatagram) {
    const std::uint64_t before = requests();
    const CliRun group = run({"set", "mac", "01:00:5e:00:00:01"});
    EXPECT_EQ(group.code, 2);
    EXPECT_THAT(
        group.err,
        HasSubstr(
            "set mac: 01:00:5e:00:00:01 is a multicast address (bit 0 of the first byte is set)"));
    const CliRun odd = run({"set", "mac", "A1:b2:c3:d4:e5:f6"});
    EXPECT_EQ(odd.code, 2);
    EXPECT_THAT(odd.err, HasSubstr("is a multicast address"));
    const CliRun all = run({"set", "mac", "ff:ff:ff:ff:ff:ff"});
    EXPECT_EQ(all.code, 2);
    EXPECT_THAT(all.err, HasSubstr("set mac: ff:ff:ff:ff:ff:ff is the broadcast address"));
    const CliRun zero = run({"set", "mac", "00-00-00-00-00-00"});
    EXPECT_EQ(zero.code, 2);
    EXPECT_THAT(zero.err, HasSubstr("set mac: 00-00-00-00-00-00 is all zeros"));
    const CliRun escaped = run({"set", "ts-port", "\x1b[2J"});
    EXPECT_THAT(escaped.err, HasSubstr("set ts-port: \"\\x1b[2J\" is not a port"));
    EXPECT_EQ(requests(), before);
}

}  // namespace
}  // namespace kestrel::test
