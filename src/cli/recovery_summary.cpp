#include "cli/recovery_summary.h"

#include <cstdio>

namespace kestrel::cli {
namespace {

// Exchanges a page read, a page program and a re-read chunk cost on a clean link.
constexpr double kPageReadExchanges = 66;
constexpr double kPageProgramExchanges = 41;
constexpr double kChunkExchanges = 2;
// A page programmed in 64 pieces of 6 exchanges and read back, instead of programmed whole.
constexpr double kPiecesExchanges = 64 * 6 + kPageReadExchanges - kPageProgramExchanges;

std::string counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool RecoveryCost::any() const {
    return faults() > 0 || again.chunks_reread > 0 || again.pages_reread > 0 ||
           again.pages_reprogrammed > 0 || again.pages_read_back > 0 || again.sectors_erased > 0 ||
           again.pages_in_pieces > 0;
}

RecoveryCost recovery_cost(const LinkStats& link_start, const LinkStats& link_end,
                           const RecoveryStats& flash_start, const RecoveryStats& flash_end) {
    const LinkStats d = link_stats_since(link_start, link_end);
    RecoveryCost c;
    c.missing = d.missing;
    c.timeouts = d.silent;
    c.nudges = d.nudges;
    c.naks = d.naks;
    c.strays = d.stale_discarded;
    c.again = recovery_stats_since(flash_start, flash_end);
    const double per_exchange_s = d.exchanges > 0 ? static_cast<double>(d.exchange_ns) / 1e9 /
                                                        static_cast<double>(d.exchanges)
                                                  : 0;
    const double extra = kChunkExchanges * static_cast<double>(c.again.chunks_reread) +
                         kPageReadExchanges * static_cast<double>(c.again.pages_read_back) +
                         kPageProgramExchanges * static_cast<double>(c.again.pages_reprogrammed) +
                         kPiecesExchanges * static_cast<double>(c.again.pages_in_pieces);
    c.lost_s = static_cast<double>(d.timeout_ns + d.drain_ns) / 1e9 + extra * per_exchange_s;
    return c;
}

std::string recovery_text(const RecoveryCost& c) {
    if (!c.any()) return "";
    char lost[32];
    std::snprintf(lost, sizeof lost, "%.2f s lost", c.lost_s);
    const std::string pieces =
        c.again.pages_in_pieces > 0
            ? counted(c.again.pages_in_pieces, "page", "pages") + " programmed in pieces, "
            : std::string();
    const std::string asked =
        c.nudges > 0 ? std::to_string(c.nudges) + " asked again, " : std::string();
    return " (" + counted(c.missing, "reply missing", "replies missing") + ", " +
           counted(c.timeouts, "time-out", "time-outs") + ", " + asked +
           counted(c.naks, "NAK", "NAKs") + ", " + counted(c.strays, "stray", "strays") + "; " +
           counted(c.again.chunks_reread, "chunk", "chunks") + " and " +
           counted(c.again.pages_reread, "page", "pages") + " read again, " +
           counted(c.again.pages_reprogrammed, "page", "pages") + " programmed again, " + pieces +
           counted(c.again.sectors_erased, "sector", "sectors") + " erased; " + lost + ")";
}

JsonObject recovery_json(const RecoveryCost& c) {
    JsonObject o;
    o.add("replies_missing", static_cast<std::int64_t>(c.missing))
        .add("timeouts", static_cast<std::int64_t>(c.timeouts))
        .add("asked_again", static_cast<std::int64_t>(c.nudges))
        .add("naks", static_cast<std::int64_t>(c.naks))
        .add("strays", static_cast<std::int64_t>(c.strays))
        .add("chunks_read_again", static_cast<std::int64_t>(c.again.chunks_reread))
        .add("pages_read_again", static_cast<std::int64_t>(c.again.pages_reread))
        .add("pages_read_back", static_cast<std::int64_t>(c.again.pages_read_back))
        .add("pages_programmed_again", static_cast<std::int64_t>(c.again.pages_reprogrammed))
        .add("sectors_erased", static_cast<std::int64_t>(c.again.sectors_erased))
        .add("pages_in_pieces", static_cast<std::int64_t>(c.again.pages_in_pieces))
        .add("lost_s", c.lost_s);
    return o;
}

}  // namespace kestrel::cli
