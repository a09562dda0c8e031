#include "flash/core/recovery_stats.h"

#include <atomic>

namespace kestrel {
namespace {

struct Counters {
    std::atomic<std::uint64_t> chunks_reread{0};
    std::atomic<std::uint64_t> pages_reread{0};
    std::atomic<std::uint64_t> pages_reprogrammed{0};
    std::atomic<std::uint64_t> pages_read_back{0};
    std::atomic<std::uint64_t> sectors_erased{0};
    std::atomic<std::uint64_t> pages_in_pieces{0};
};

Counters& counters() {
    static Counters c;
    return c;
}

void add(std::atomic<std::uint64_t>& c, std::uint64_t n) {
    c.fetch_add(n, std::memory_order_relaxed);
}

}  // namespace

RecoveryStats recovery_stats() {
    const Counters& c = counters();
    return {c.chunks_reread.load(),   c.pages_reread.load(),   c.pages_reprogrammed.load(),
            c.pages_read_back.load(), c.sectors_erased.load(), c.pages_in_pieces.load()};
}

RecoveryStats recovery_stats_since(const RecoveryStats& a, const RecoveryStats& b) {
    return {b.chunks_reread - a.chunks_reread,           b.pages_reread - a.pages_reread,
            b.pages_reprogrammed - a.pages_reprogrammed, b.pages_read_back - a.pages_read_back,
            b.sectors_erased - a.sectors_erased,         b.pages_in_pieces - a.pages_in_pieces};
}

void count_chunks_reread(int chunks) {
    add(counters().chunks_reread, static_cast<std::uint64_t>(chunks));
}
void count_page_reread() {
    add(counters().pages_reread, 1);
}
void count_page_reprogrammed() {
    add(counters().pages_reprogrammed, 1);
}
void count_page_read_back() {
    add(counters().pages_read_back, 1);
}
void count_sector_erased() {
    add(counters().sectors_erased, 1);
}
void count_page_in_pieces() {
    add(counters().pages_in_pieces, 1);
}

}  // namespace kestrel
