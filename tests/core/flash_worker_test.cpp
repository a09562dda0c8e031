// The frame of a flash worker: the link lock held around the RTP closes and the procedure.
#include <gtest/gtest.h>

#include <future>

#include "flash/core/flash_worker.h"
#include "flash/core/spi_flash.h"
#include "link/mailbox.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

bool lock_free_for_another_thread() {
    return std::async(std::launch::async,
                      [] {
                          std::unique_lock<std::recursive_mutex> lock(link_lock(),
                                                                      std::try_to_lock);
                          return lock.owns_lock();
                      })
        .get();
}

class FlashWorker : public FlashSimFixture {};

TEST_F(FlashWorker, ClosesTheSixtyFourChannelsBeforeTheProcedureUnderTheLinkLock) {
    bool held_during_procedure = false;
    run_flash_worker([&] {
        held_during_procedure = !lock_free_for_another_thread();
        FlashId id{};
        spi_read_id(id);
    });
    EXPECT_TRUE(held_during_procedure);
    EXPECT_TRUE(lock_free_for_another_thread());

    const auto traffic = registers();
    ASSERT_EQ(traffic.size(), 64u + 6u);
    for (int n = 0; n < 64; ++n) {
        EXPECT_EQ(traffic[n].kind, sim::Exchange::Kind::Write);
        EXPECT_EQ(traffic[n].address, RTP_CH_CTRL + 0x100 * n) << n;
        EXPECT_EQ(traffic[n].word[0], 0x00);
        std::lock_guard<std::mutex> guard(server_->lock());
        EXPECT_FALSE(device_.rtp().is_open(n));
    }
    EXPECT_EQ(traffic[64].address, SPI_INIT);
}

}  // namespace
}  // namespace kestrel::test
