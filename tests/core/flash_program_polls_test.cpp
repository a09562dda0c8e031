// The status polls of a page program on a link that has shown a duplicate: every busy poll reads
// like the one before it, as a copy could, yet a busy status is polled again whatever it was and
// the "ready" is read alike twice and confirmed in step. The polls leave no doubt on the program.
#include <gtest/gtest.h>

#include <array>
#include <mutex>

#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "protocol/host_regs.h"
#include "protocol/wire.h"
#include "sim/device.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

constexpr int kBusyPolls = 4;

// The simulator's SPI master and chip behind a scripted peer whose first reply comes twice.
class ProgramPolls : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> guard(mutex_);
        device_.flash().set_program_busy_polls(kBusyPolls);
    }
    void TearDown() override { close_link(); }

    RawPeer::Answer serve(const Bytes& request, int index) {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto reg = static_cast<std::uint16_t>(request[2] << 8 | request[3]);
        RawPeer::Answer a;
        if (request[0] == kReadFlag) {
            const RegisterWord w = device_.read(reg);
            a = answer(ack_for(request, Bytes(w.begin(), w.end())));
        } else {
            RegisterWord word{};
            std::copy_n(request.begin() + kRegisterValueAt, word.size(), word.begin());
            device_.write(reg, word);
            a = answer(ack_for(request));
        }
        if (index == 0) a.then_extra = a.reply;
        return a;
    }

    // The link has seen the first reply twice.
    void open_on_a_link_that_copies() {
        ASSERT_TRUE(open_link("127.0.0.1", peer_.port()));
        RegisterWord w{};
        for (int i = 0; i < 4; ++i)
            (void)read_reg(HOST_CTRL, w);
        ASSERT_TRUE(link_may_make_copies());
    }

    static std::array<std::uint8_t, kPageSize> page_bytes() {
        std::array<std::uint8_t, kPageSize> page{};
        for (std::size_t i = 0; i < page.size(); ++i)
            page[i] = static_cast<std::uint8_t>(i * 5 + 1);
        return page;
    }

    int read_data_commands() {
        int n = 0;
        for (const auto& r : peer_.received()) {
            const Bytes& b = r.bytes;
            const bool to_cmd =
                b.size() == kWriteRequestSize && b[0] == kWriteFlag && b[2] == 0 && b[3] == SPI_CMD;
            n += to_cmd && b[kRegisterValueAt] == kCmdReadData ? 1 : 0;
        }
        return n;
    }

    std::mutex mutex_;
    sim::Device device_;
    RawPeer peer_{[this](const Bytes& request, int index) { return serve(request, index); }};
};

TEST_F(ProgramPolls, PollsThatReadAlikeLeaveTheProgramTrusted) {
    open_on_a_link_that_copies();
    LinkTally tally;
    EXPECT_EQ(spi_program_page({0x00, 0x03, 0x00}, page_bytes(), &tally), 1);
    EXPECT_TRUE(tally.trusted()) << tally.doubtful << " in doubt";
    EXPECT_GT(tally.exchanges, 35 + 3 * kBusyPolls);
}

TEST_F(ProgramPolls, ProgramWhoseOnlyDoubtsWereItsPollsIsNotReadBack) {
    open_on_a_link_that_copies();
    const auto page = page_bytes();
    EXPECT_EQ(program_page_checked(0x000300, page, ProgramCheck::None), PageProgram::Done);
    EXPECT_EQ(read_data_commands(), 0);
    std::lock_guard<std::mutex> guard(mutex_);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), device_.flash().contents().begin() + 0x300));
}

}  // namespace
}  // namespace kestrel::test
