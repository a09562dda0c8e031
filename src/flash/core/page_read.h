// Reading flash pages over a link that may lose, duplicate or delay datagrams, without ever
// handing back a byte the device did not send for its place. Call on the flash worker, which
// holds the link lock.
//
// A page is read in passes of one Read Data transaction each, over the chunks not yet proven.
// A chunk is proven by one clean read that nothing speaks against, or by two reads that agree.
// A fault at chunk k (no reply, a NAK) ends the pass there and the next pass opens at chunk k;
// a doubt the link saw (a stray, a reply that a copy could stand in for) leaves just the
// chunks it may touch to be read again. While the link may make copies (it has shown
// duplicates), a chunk that one pass alone proved stands only once a second, separate read
// agrees with it where a move would show. On a clean link a page costs the 65 exchanges of
// spi_read_page and one probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/spi_regs.h"

namespace kestrel {

// Passes in a row that prove no new chunk before a page read gives up, and passes in all: a
// link that fails every pass still ends in a clear failure.
inline constexpr int kPageReadTries = 24;
inline constexpr int kPageReadMaxPasses = 4 * kPageReadTries;

class PagePrefetch;

// Pages read in a row: a page's first pass may come from prefetch, sent through the window of
// requests in flight with the pages of upcoming (the page read now, then the next ones).
struct ReadAhead {
    PagePrefetch* prefetch = nullptr;
    std::span<const std::uint32_t> upcoming;
};

// Reads the page at address into dest. False (traced) when the passes ran out before every
// chunk was proven; dest then holds nothing to rely on.
[[nodiscard]] bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest,
                                     ReadAhead ahead = {});

// As read_page_checked, for the read-back of a page just programmed, right after status reads:
// while the link may make copies, a read made one exchange at a time that gives exactly
// `expected` stands without the second read, unless its chunks are all alike (a transaction
// that never started reads as such a page). A move would have to rebuild the very bytes
// expected, and a Read Data the device never got leaves it sending the last instruction it
// took, Read Status. (Not for a page read right after another: there a lost Read Data reads the
// page before, which may hold the same bytes.) A read that differs is settled as
// read_page_checked settles it.
[[nodiscard]] bool read_page_expecting(std::uint32_t address,
                                       std::span<std::uint8_t, kPageSize> dest,
                                       std::span<const std::uint8_t, kPageSize> expected,
                                       ReadAhead ahead = {});

// The same for chunks first..31 of the page, into the same places of dest.
[[nodiscard]] bool read_chunks_checked(std::uint32_t address, std::size_t first,
                                       std::span<std::uint8_t, kPageSize> dest,
                                       ReadAhead ahead = {});

}  // namespace kestrel
