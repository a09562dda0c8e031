// The final line's account of what recovery cost: every fault and every piece of work done
// again, so that a run that re-read pages never reads "0 faults recovered" and nothing more.
#include <gtest/gtest.h>

#include "cli/recovery_summary.h"

namespace kestrel::cli {
namespace {

TEST(RecoverySummary, CleanRunSaysNothingMore) {
    const LinkStats link{};
    const RecoveryStats flash{};
    const RecoveryCost cost = recovery_cost(link, link, flash, flash);
    EXPECT_FALSE(cost.any());
    EXPECT_EQ(recovery_text(cost), "");
}

TEST(RecoverySummary, CountsFaultsWorkDoneAgainAndTheTimeLost) {
    LinkStats start{};
    LinkStats end{};
    end.exchanges = 1000;
    end.exchange_ns = 1000u * 20000u;  // 20 us an exchange
    end.missing = 5;                   // 3 timed out, 2 found missing by a gap in a window
    end.silent = 3;
    end.nudges = 4;  // slow replies asked for again (not faults: they may yet have come)
    end.naks = 1;
    end.stale_discarded = 2;
    end.timeout_ns = 6000000;  // 6 ms waiting for replies that never came
    end.drain_ns = 2000000;    // 2 ms draining the window that broke
    RecoveryStats flash_end{};
    flash_end.chunks_reread = 5;
    flash_end.pages_reread = 2;
    flash_end.pages_reprogrammed = 1;
    const RecoveryCost cost = recovery_cost(start, end, RecoveryStats{}, flash_end);
    EXPECT_EQ(cost.faults(), 8u);
    // 6 ms, 2 ms, and (5 x 2 + 41) exchanges of 20 us.
    EXPECT_NEAR(cost.lost_s, 0.008 + 51 * 20e-6, 1e-9);
    EXPECT_EQ(recovery_text(cost),
              " (5 replies missing, 3 time-outs, 4 asked again, 1 NAK, 2 strays; 5 chunks and 2 "
              "pages read again, 1 page programmed again, 0 sectors erased; 0.01 s lost)");
    EXPECT_EQ(recovery_json(cost).str(),
              "{\"replies_missing\":5,\"timeouts\":3,\"asked_again\":4,\"naks\":1,\"strays\":2,"
              "\"chunks_read_again\":5,\"pages_read_again\":2,\"pages_read_back\":0,"
              "\"pages_programmed_again\":1,\"sectors_erased\":0,\"pages_in_pieces\":0,"
              "\"lost_s\":0.009}");
}

TEST(RecoverySummary, PagesProgrammedInPiecesAreNamedAndCostTheirExchanges) {
    LinkStats end{};
    end.exchanges = 1000;
    end.exchange_ns = 1000u * 20000u;
    RecoveryStats flash_end{};
    flash_end.sectors_erased = 1;
    flash_end.pages_in_pieces = 2;
    const RecoveryCost cost = recovery_cost(LinkStats{}, end, RecoveryStats{}, flash_end);
    // Each: 64 pieces of 6 exchanges and a read-back of 66, less the 41 of a whole program.
    EXPECT_NEAR(cost.lost_s, 2 * 409 * 20e-6, 1e-9);
    EXPECT_EQ(recovery_text(cost),
              " (0 replies missing, 0 time-outs, 0 NAKs, 0 strays; 0 chunks and 0 pages read "
              "again, 0 pages programmed again, 2 pages programmed in pieces, 1 sector erased; "
              "0.02 s lost)");
}

TEST(RecoverySummary, ReadAgainWithoutAFaultStillCounts) {
    RecoveryStats flash_end{};
    flash_end.chunks_reread = 32;
    flash_end.pages_reread = 1;
    const RecoveryCost cost = recovery_cost(LinkStats{}, LinkStats{}, RecoveryStats{}, flash_end);
    EXPECT_TRUE(cost.any());
    EXPECT_NE(recovery_text(cost).find("32 chunks and 1 page read again"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::cli
