// How often a write's whole-page loads came out spoiled lately (a data word the device took
// twice, which only an erase mends), to tell when its pages are better programmed in pieces.
// Owned by one write job, on the flash worker.
#pragma once

#include <bit>
#include <cstdint>

namespace kestrel {

// Spoiled loads among the last 32 page programs from which a write programs in pieces for the
// rest of its run. Pieces cost about 4.6 times a whole page (exchanges and read-back), and a
// spoiled load costs a sector erase and up to 16 pages programmed again: pieces pay once about
// one load in four spoils. At 0.1% duplicated requests (one load in thirty spoils where the
// chip's page latch does not wrap, so that the flush after a load given up can't empty it) 32
// programs reach 10 about once in 18 million (a whole-chip write about once in a thousand); at
// 1% (two in three) within the first 20 pages.
inline constexpr int kSpoilsForPieces = 10;

// Pieces that came out wrong where no piece can go wrong (a device that does not program a
// piece of a page as a chip on the SPI bus would) from which a write stops using them.
inline constexpr int kPieceFailures = 2;

class LoadSpoils {
  public:
    // One whole-page program and whether its load came out spoiled.
    void note(bool spoiled) {
        last_ = (last_ << 1) | (spoiled ? 1u : 0u);
        if (std::popcount(last_) >= kSpoilsForPieces) pieces_ = true;
    }
    // A page programmed in pieces read back with bits no program sets.
    void pieces_spoiled() { ++piece_failures_; }
    // Whether pieces may be used at all.
    [[nodiscard]] bool pieces_work() const { return piece_failures_ < kPieceFailures; }
    // Whether pages are now programmed in pieces (once so, for the rest of the run, while
    // pieces work).
    [[nodiscard]] bool pieces() const { return pieces_ && pieces_work(); }

  private:
    std::uint32_t last_ = 0;  // the last 32 programs, the newest in bit 0
    bool pieces_ = false;
    int piece_failures_ = 0;
};

}  // namespace kestrel
