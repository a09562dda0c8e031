// What recovering from link faults cost the flash procedures since the process started: chunks
// and pages read again, pages programmed again or in pieces, sectors erased to mend a page.
// Counted by the
// page procedures on the flash worker; read from any thread.
#pragma once

#include <cstdint>

namespace kestrel {

struct RecoveryStats {
    std::uint64_t chunks_reread = 0;       // 8-byte chunks read again to settle a doubt or fault
    std::uint64_t pages_reread = 0;        // page reads that needed more than one pass
    std::uint64_t pages_reprogrammed = 0;  // page programs after the first of a page
    std::uint64_t pages_read_back = 0;     // programmed pages read back to check a doubt
    std::uint64_t sectors_erased = 0;      // sectors erased to mend a page no program could
    std::uint64_t pages_in_pieces = 0;     // pages programmed in 4-byte pieces
};

[[nodiscard]] RecoveryStats recovery_stats();
[[nodiscard]] RecoveryStats recovery_stats_since(const RecoveryStats& a, const RecoveryStats& b);

// Used by the page procedures.
void count_chunks_reread(int chunks);
void count_page_reread();
void count_page_reprogrammed();
void count_page_read_back();
void count_sector_erased();
void count_page_in_pieces();

}  // namespace kestrel
