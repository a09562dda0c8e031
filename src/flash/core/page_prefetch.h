// The first passes of the pages a job reads next, sent ahead in one run of the window of
// requests in flight, so that the window stays full across pages instead of draining at each
// page's end. One per job, on the flash worker (which holds the link lock); does nothing while
// the window is off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "flash/core/page_read.h"
#include "link/exchange.h"
#include "link/window.h"

namespace kestrel {

// Pages whose first passes one run of the window sends.
inline constexpr std::size_t kPrefetchPages = 8;

// The chunk a page's second read, sent ahead with its first, starts at: the second read of a
// page whose last two chunks differ.
inline constexpr std::size_t kSecondReadFrom = kPageReadChunks - 2;

// A chunk's read holds the flash bytes at its address, whichever pass reads it.
[[nodiscard]] ReadKeys chunk_key(std::uint32_t page, std::size_t chunk);

// The SPI_CTRL word of a receive phase (kCtrlRead...).
[[nodiscard]] RegisterWord control(const std::array<std::uint8_t, 2>& ctrl);

// The receive phase of chunk in a transaction over chunks from..to.
[[nodiscard]] RegisterWord receive_phase(std::size_t chunk, std::size_t from, std::size_t to);

// The requests of one pass over chunks from..to of the page at address: Read Data, then a
// receive phase and a read of SPI_CTRL per chunk, closed by a read of HOST_CTRL whose reply
// shows that nothing of the pass is still on its way.
[[nodiscard]] std::vector<WindowRequest> pass_requests(std::uint32_t address, std::size_t from,
                                                       std::size_t to);

// A whole-page pass as its window run went: the replies of pass_requests(address, 0, 31), and
// the run as if the page's pass had been sent alone.
struct PrefetchedPass {
    std::vector<ExchangeResult> results;
    WindowRun run;
};

class PagePrefetch {
  public:
    // What a page read needs to read ahead: the page numbers `pages` (the one read now first)
    // or first..end-1, kPrefetchPages of them at most. Valid until the next call.
    [[nodiscard]] ReadAhead ahead(std::span<const int> pages);
    [[nodiscard]] ReadAhead ahead(int first, int end);

    // The first pass of the page at address. Taken from the last run when that run holds it
    // next and nothing has crossed the link since (a page's further pass, a second read or a
    // program would make its later pages' replies older than what the link has learnt);
    // otherwise from a new run over upcoming (which starts with address), kPrefetchPages of
    // them, or one while the link may make copies (each page is then read twice, and the run
    // carries the second read of its last two chunks too, unless the last page's second read
    // had to start earlier). A run that broke in a page hands that page its part (broken) and
    // nothing after it. Nothing when the window is off or upcoming does not start at address.
    [[nodiscard]] std::optional<PrefetchedPass> take(std::uint32_t address,
                                                     std::span<const std::uint32_t> upcoming);

    // The second read of chunks 30..31 of the page at address, sent in the run right after its
    // first pass while the link may make copies: taken when nothing has crossed the link since
    // the run and the page's first pass was taken from it. Nothing otherwise.
    [[nodiscard]] std::optional<PrefetchedPass> take_second(std::uint32_t address);

    // The chunk the second read of the page just read started at (a page of repeated chunks
    // needs more than its last two again): the next runs carry second reads only while the
    // last one started at kSecondReadFrom.
    void second_read_from(std::size_t chunk) { seconds_fit_ = chunk == kSecondReadFrom; }

  private:
    struct Held {
        std::uint32_t address = 0;
        PrefetchedPass pass;
        std::optional<PrefetchedPass> second;  // chunks 30..31 again, while copies may come
    };
    void fetch(std::span<const std::uint32_t> pages);

    std::array<std::uint32_t, kPrefetchPages> upcoming_{};
    std::deque<Held> held_;
    std::optional<Held> taken_;          // the page whose first pass was taken last, for its second
    std::uint64_t exchanges_after_ = 0;  // the link's exchange count when the last run ended
    bool seconds_fit_ = true;
};

}  // namespace kestrel
