// A page load given up because a stray came may hold a data word the device took twice, and the
// chip programs what it latched once the next transaction releases it. The load is then
// followed by a page of FFh data words: a chip whose page latch wraps at 256 bytes holds nothing
// to program, and the page is loaded again without a sector erase. A load given up for a
// time-out holds a right prefix and is not flushed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "protocol/wire.h"
#include "sim/device.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

constexpr std::uint8_t kDataReg = 0x20;
constexpr std::uint8_t kTailReg = 0x28;
constexpr int kOddWord = 11;  // the data word of the first load the device gets wrong

bool write_to(const Bytes& request, std::uint8_t low) {
    return request.size() == kWriteRequestSize && request[0] == kWriteFlag && request[2] == 0 &&
           request[3] == low;
}

// The simulator's SPI master and chip behind a scripted peer. The 11th SPI_PP_DATA of the first
// load is acted on twice and acknowledged twice, as a duplicated request is (doubled_), or
// never answered, as a lost reply leaves it.
class LoadFlush : public ::testing::Test {
  protected:
    void TearDown() override { close_link(); }

    RawPeer::Answer serve(const Bytes& request) {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto reg = static_cast<std::uint16_t>(request[2] << 8 | request[3]);
        if (request[0] == kReadFlag) {
            const RegisterWord w = device_.read(reg);
            return answer(ack_for(request, Bytes(w.begin(), w.end())));
        }
        RegisterWord word{};
        std::copy_n(request.begin() + kRegisterValueAt, word.size(), word.begin());
        device_.write(reg, word);
        if (reg == kDataReg) ++data_words_;
        if (reg == kDataReg && data_words_ == copied_word_) {
            RawPeer::Answer a = answer(ack_for(request));
            a.then_extra = ack_for(request);
            return a;
        }
        if (reg != kDataReg || data_words_ != kOddWord) return answer(ack_for(request));
        if (!doubled_) return silence();
        device_.write(reg, word);
        RawPeer::Answer a = answer(ack_for(request));
        a.then_extra = ack_for(request);
        return a;
    }

    std::array<std::uint8_t, kPageSize> chip_page(std::uint32_t address) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::array<std::uint8_t, kPageSize> out{};
        std::copy_n(device_.flash().contents().begin() + address, kPageSize, out.begin());
        return out;
    }

    static std::array<std::uint8_t, kPageSize> page_bytes() {
        std::array<std::uint8_t, kPageSize> page{};
        for (std::size_t i = 0; i < page.size(); ++i)
            page[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return page;
    }

    std::mutex mutex_;
    sim::Device device_;
    int data_words_ = 0;
    bool doubled_ = true;
    int copied_word_ = -1;  // the SPI_PP_DATA write whose acknowledgement comes twice
    RawPeer peer_{[this](const Bytes& request, int) { return serve(request); }};
};

TEST_F(LoadFlush, LoadGivenUpForAStrayEndsInAPageOfErasedWordsAndNoTail) {
    ASSERT_TRUE(open_link("127.0.0.1", peer_.port()));
    const auto page = page_bytes();
    EXPECT_EQ(spi_program_page({0x00, 0x02, 0x00}, page), kProgramAbandoned);
    std::vector<Bytes> data;
    for (const auto& r : peer_.received()) {
        EXPECT_FALSE(write_to(r.bytes, kTailReg));
        if (write_to(r.bytes, kDataReg)) data.push_back(r.bytes);
    }
    ASSERT_GE(data.size(), static_cast<std::size_t>(kOddWord + 32));
    const Bytes erased(8, 0xFF);
    for (std::size_t i = data.size() - 32; i < data.size(); ++i)
        EXPECT_TRUE(std::equal(erased.begin(), erased.end(), data[i].begin() + kRegisterValueAt))
            << "data word " << i;
}

TEST_F(LoadFlush, PageWhoseLoadTookAWordTwiceIsProgrammedWithoutAnErase) {
    ASSERT_TRUE(open_link("127.0.0.1", peer_.port()));
    const auto page = page_bytes();
    EXPECT_EQ(program_page_checked(0x000200, page, ProgramCheck::Whole), PageProgram::Done);
    EXPECT_EQ(chip_page(0x000200), page);
    std::array<std::uint8_t, kPageSize> erased{};
    erased.fill(0xFF);
    EXPECT_EQ(chip_page(0x000100), erased);
    EXPECT_EQ(chip_page(0x000300), erased);
}

TEST_F(LoadFlush, LoadGivenUpForATimeOutIsNotFlushed) {
    doubled_ = false;
    ASSERT_TRUE(open_link("127.0.0.1", peer_.port()));
    const auto page = page_bytes();
    EXPECT_EQ(spi_program_page({0x00, 0x02, 0x00}, page), kProgramAbandoned);
    int data = 0;
    for (const auto& r : peer_.received())
        data += write_to(r.bytes, kDataReg) ? 1 : 0;
    EXPECT_EQ(data, kOddWord);
}

// The erased data words among those sent after the copied-th one.
std::size_t erased_words_after_the_last_copy(const std::vector<Bytes>& data, int copied) {
    const Bytes erased(8, 0xFF);
    std::size_t n = 0;
    for (std::size_t i = static_cast<std::size_t>(copied); i < data.size(); ++i)
        n += std::equal(erased.begin(), erased.end(), data[i].begin() + kRegisterValueAt) ? 1 : 0;
    return n;
}

// A stray during the flush may be a real word the device took again late, landed among the
// FFh words: a whole page of them follows it.
TEST_F(LoadFlush, StrayDuringTheFlushIsFollowedByAWholePageOfErasedWords) {
    ASSERT_TRUE(open_link("127.0.0.1", peer_.port()));
    {
        std::lock_guard<std::mutex> guard(mutex_);
        copied_word_ = kOddWord + 5;  // a word of the flush
    }
    const auto page = page_bytes();
    EXPECT_EQ(spi_program_page({0x00, 0x02, 0x00}, page), kProgramAbandoned);
    std::vector<Bytes> data;
    for (const auto& r : peer_.received())
        if (write_to(r.bytes, kDataReg)) data.push_back(r.bytes);
    // The copy shows in the exchange of the word after it: 32 erased words follow from there.
    EXPECT_GE(erased_words_after_the_last_copy(data, kOddWord + 5), 32u);
}

}  // namespace
}  // namespace kestrel::test
