// --trace FILE is never a way to hang kestrelctl: only a regular file or a FIFO that a process
// reads is taken, and a FIFO's reader that goes away ends the trace, said once, without the
// process being killed by SIGPIPE.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "cli_fixture.h"
#include "fifo_end.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

class TraceFileTest : public CliFixture {};

TEST_F(TraceFileTest, AFifoNobodyReadsADeviceOrAFolderIsRefusedAtOnceAndNothingIsSent) {
    const auto fifo = dir_ / "nobody.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::uint64_t before = requests();
    const auto start = std::chrono::steady_clock::now();
    const CliRun r = run({"--trace", fifo.string(), "info"});
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    EXPECT_EQ(r.code, 5);
    EXPECT_THAT(r.err, HasSubstr("kestrelctl info: can't open the trace file \"" + fifo.string() +
                                 "\": it is a FIFO that no process reads\n"));

    const CliRun full = run({"--trace", "/dev/full", "info"});
    EXPECT_EQ(full.code, 5);
    EXPECT_THAT(
        full.err,
        HasSubstr("\"/dev/full\": it is a character device, not a regular file or a FIFO\n"));
    const CliRun folder = run({"--json", "--trace", dir_.path().string(), "info"});
    EXPECT_EQ(folder.code, 5);
    EXPECT_THAT(folder.out, HasSubstr("\"error\":\"can't open the trace file"));
    EXPECT_EQ(requests(), before);
}

TEST_F(TraceFileTest, AFifoThatIsReadTakesTheSameTraceAsAFile) {
    const std::string file = (dir_ / "trace.txt").string();
    ASSERT_EQ(run({"--trace", file, "info"}).code, 0);
    const ByteVector expected = read_file(file);
    ASSERT_FALSE(expected.empty());

    const std::string fifo = (dir_ / "trace.fifo").string();
    FifoEnd reader(fifo);
    ASSERT_GE(reader.fd(), 0);
    const CliRun r = run({"--trace", fifo, "info"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(reader.drain(), std::string(expected.begin(), expected.end()));
}

TEST_F(TraceFileTest, AReaderThatGoesAwayEndsTheTraceOnceAndTheRunFails) {
    const std::string fifo = (dir_ / "trace.fifo").string();
    FifoEnd reader(fifo);
    ASSERT_GE(reader.fd(), 0);
    // The reader leaves at the first register exchange, before the chip's id is traced.
    bool gone = false;
    set_hook([&](const sim::Exchange& ex) {
        if (gone || ex.kind == sim::Exchange::Kind::Handshake) return;
        gone = true;
        reader.close();
    });
    const CliRun r = run({"--trace", fifo, "info"});
    set_hook({});
    ASSERT_TRUE(gone);
    EXPECT_EQ(r.code, 5);
    const std::string said =
        "can't write the trace file \"" + fifo + "\": Broken pipe; the trace is incomplete";
    EXPECT_THAT(r.err, HasSubstr("kestrelctl info: " + said));
    EXPECT_EQ(r.err.find(said), r.err.rfind(said));
    EXPECT_THAT(r.out, HasSubstr("flash_id"));  // the command itself ran to its end
}

}  // namespace
}  // namespace kestrel::test
