#include "flash/core/page_read.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <initializer_list>
#include <optional>
#include <vector>

#include "flash/core/page_prefetch.h"
#include "flash/core/recovery_stats.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "link/window.h"
#include "platform/trace.h"
#include "protocol/host_regs.h"

namespace kestrel {
namespace {

constexpr std::size_t kChunks = kPageReadChunks;
constexpr int kPageConfirmTries = 6;
constexpr int kNone = -1;
constexpr int kTwoReads = -1;  // a chunk proven by two passes that agree

using ChunkSet = std::bitset<kChunks>;

// The first chunk in bits (kChunks when none is).
std::size_t first_of(const ChunkSet& bits) {
    for (std::size_t c = 0; c < kChunks; ++c)
        if (bits[c]) return c;
    return kChunks;
}

bool answered(const ExchangeResult& e) {
    return e.acknowledged();
}

// Two reads of one chunk disagree: one of them took a reply that was not its own, and its own
// may still come, holding the chunk's bytes or a neighbour's. The link keeps it owed, so that
// a later read given one of these words is in doubt instead of standing unseen.
void owe_contradicted(std::initializer_list<const RegisterWord*> words) {
    std::vector<RegisterWord> known;
    for (const RegisterWord* w : words)
        if (w != nullptr) known.push_back(*w);
    link_owe_contradicted_read(SPI_CTRL, known);
}

RegisterWord word_at(std::span<const std::uint8_t, kPageSize> page, std::size_t chunk) {
    RegisterWord w{};
    std::copy_n(page.begin() + static_cast<std::ptrdiff_t>(chunk * 8), 8, w.begin());
    return w;
}

// Where a pass's exchanges come from: made one at a time, or all sent at once through a window
// of requests in flight (pass_requests) and handed out in order, or taken from a run that sent
// the pass ahead with the pages before it.
class PassExchanges {
  public:
    // close_first: the end phase of a transaction a fault stopped, and the read of what it
    // received (holding those keys), sent before the pass.
    PassExchanges(std::uint32_t address, std::size_t from, std::size_t to,
                  std::optional<PrefetchedPass> ahead, std::optional<ReadKeys> close_first)
        : windowed_(ahead.has_value() || link_window_in_use()), address_(address), from_(from) {
        if (ahead) {
            results_ = std::move(ahead->results);
            run_ = ahead->run;
            return;
        }
        if (!windowed_) return;
        std::vector<WindowRequest> requests;
        if (close_first) {
            requests.push_back({ExchangeKind::Write, SPI_CTRL, control(kCtrlReadLast)});
            requests.push_back({ExchangeKind::Read, SPI_CTRL, {}, *close_first});
            first_ = requests.size();
        }
        const std::vector<WindowRequest> pass = pass_requests(address, from, to);
        requests.insert(requests.end(), pass.begin(), pass.end());
        results_.resize(requests.size());
        run_ = exchange_window(requests, results_);
    }

    ExchangeResult put(std::uint16_t reg, const RegisterWord& word) {
        return windowed_ ? results_[next_++] : spi_put(reg, word, nullptr);
    }
    // The read of chunk c.
    ExchangeResult get(std::size_t c) { return get(chunk_key(address_, c)); }
    ExchangeResult get(ReadKeys keys) {
        return windowed_ ? results_[next_++] : spi_get(SPI_CTRL, nullptr, keys);
    }

    [[nodiscard]] bool windowed() const { return windowed_; }
    [[nodiscard]] const WindowRun& run() const { return run_; }

    // The chunk of the first request whose reply never came (the pass's first chunk when that
    // was Read Data or the closing probe).
    [[nodiscard]] std::size_t first_lost_chunk() const {
        if (run_.lost == 0 || run_.first_lost <= first_) return from_;
        const std::size_t i = run_.first_lost - first_;
        if (i + 1 >= results_.size() - first_) return from_;
        return from_ + (i - 1) / 2;
    }

  private:
    bool windowed_;
    std::uint32_t address_;
    std::size_t from_;
    std::vector<ExchangeResult> results_;
    std::size_t next_ = 0;
    std::size_t first_ = 0;  // the pass's first request in the run
    WindowRun run_;
};

// Where a second read must start to show a receive phase that the device took twice, or not at
// all, without it showing on the link, in chunks from..to read in one transaction: from there on
// every chunk holds the next one's bytes, or the one's before. Let k be the last chunk that
// differs from the one before it. A move that began before k shows in chunk k - 1 or k (one of
// them reads a neighbour's bytes, which differ from its own); one that began later can only hide
// in the run of equal chunks from k on. So the second read starts at k - 1.
std::size_t confirm_from(std::span<const std::uint8_t, kPageSize> page, std::size_t from,
                         std::size_t to) {
    for (std::size_t c = to; c > from; --c)
        if (!std::equal(page.begin() + static_cast<std::ptrdiff_t>(c * 8),
                        page.begin() + static_cast<std::ptrdiff_t>(c * 8 + 8),
                        page.begin() + static_cast<std::ptrdiff_t>(c * 8 - 8)))
            return c - 1;
    return from;
}

class PageReader {
  public:
    PageReader(std::uint32_t address, std::size_t first, ReadAhead ahead = {})
        : address_(address), first_(first), ahead_(ahead) {}

    // Reads the chunks the set `again` names once more, to confirm values read before: from now
    // on such a chunk is proven only by a read that agrees with the value it holds (the earlier
    // read's, to begin with). The others stand as read.
    void confirm(std::span<const std::uint8_t, kPageSize> earlier, ChunkSet again) {
        confirming_ = true;
        for (std::size_t c = first_; c < kChunks; ++c) {
            std::copy_n(earlier.begin() + static_cast<std::ptrdiff_t>(c * 8), 8,
                        seed_[c].value.begin());
            seed_[c].have = true;
            seed_[c].proven = !again[c];
            seed_[c].shift_from = kChunks;
            chunks_[c] = seed_[c];
        }
    }

    // The chunks a second read must cover: for each run of chunks one pass proved on its own
    // read, those that show a receive phase the device took twice, or not at all, in that pass
    // without it showing on the link: from confirm_from to the run's end and the chunk after
    // it. A move in one pass touches only what that pass read after it. A chunk two separate
    // transactions read alike needs no third read: a move or a stand-in in one of them would
    // have made them differ, unless both went wrong alike, and that takes a fault compound in
    // each.
    [[nodiscard]] ChunkSet confirm_chunks(std::span<const std::uint8_t, kPageSize> page) const {
        ChunkSet again;
        for (std::size_t c = first_; c < kChunks; ++c) {
            if (proved_by_[c] == kTwoReads) continue;
            if (c > first_ && proved_by_[c] == proved_by_[c - 1]) continue;
            std::size_t last = c;  // the run of chunks this pass proved: c..last
            while (last + 1 < kChunks && proved_by_[last + 1] == proved_by_[c])
                ++last;
            const std::size_t to = std::min(last + 1, kChunks - 1);
            for (std::size_t k = confirm_from(page, c, to); k <= to; ++k)
                again.set(k);
        }
        return again;
    }

    // Passes until every chunk is proven, or kPageReadTries passes in a row proved none (a pass
    // cut short by a fault still proves the chunks before it), or the passes or the device ran
    // out.
    bool run(std::span<std::uint8_t, kPageSize> dest) {
        int& passes = passes_;
        const int planned = planned_passes();
        for (int stalled = 0; stalled < kPageReadTries && passes < kPageReadMaxPasses &&
                              link_silent_run() < kDeviceGoneSilentRun;
             ++passes) {
            auto open = unproven();
            if (open.first == kChunks) break;
            if (resume_at_ > open.first && resume_at_ <= open.second && !chunks_[resume_at_].proven)
                open.first = resume_at_;
            resume_at_ = kChunks;
            // One exchange at a time, proven chunks between are not read again where a new
            // transaction costs less; through a window each transaction costs a round trip.
            if (!link_window_in_use()) open.second = island_end(open.first);
            const std::size_t before = proven_count();
            pass(open.first, open.second);
            trace_doubts();
            merge(open.first);
            stalled = proven_count() > before ? 0 : stalled + 1;
        }
        if (close_owed_) close(nullptr);  // the last pass stopped at its closing probe
        if (passes > planned) count_page_reread();
        if (unproven().first != kChunks) {
            tracef("read page %06x failed: no clean read in %d tries", address_, kPageReadTries);
            return false;
        }
        for (std::size_t c = first_; c < kChunks; ++c)
            std::copy(chunks_[c].value.begin(), chunks_[c].value.end(),
                      dest.begin() + static_cast<std::ptrdiff_t>(c * 8));
        return true;
    }

  private:
    struct Chunk {
        RegisterWord value{};
        bool have = false;                 // value holds an earlier read
        bool proven = false;               // value is the flash's
        std::size_t shift_from = kChunks;  // the read may be one place on from this chunk
    };

    [[nodiscard]] std::size_t proven_count() const {
        return static_cast<std::size_t>(
            std::count_if(chunks_.begin() + static_cast<std::ptrdiff_t>(first_), chunks_.end(),
                          [](const Chunk& k) { return k.proven; }));
    }

    // The last chunk of the unproven chunks from f on that one transaction reads best: it goes
    // on over one proven chunk (two exchanges) but not over two (a new transaction costs two).
    std::size_t island_end(std::size_t f) const {
        std::size_t end = f;
        for (std::size_t c = f + 1; c < kChunks; ++c) {
            if (!chunks_[c].proven) {
                end = c;
            } else if (c - end >= 2) {
                break;
            }
        }
        return end;
    }

    // The passes that read the chunks not yet proven if nothing goes wrong.
    [[nodiscard]] int planned_passes() const {
        if (link_window_in_use()) return 1;
        int passes = 0;
        for (std::size_t c = first_; c < kChunks; ++c) {
            if (chunks_[c].proven) continue;
            ++passes;
            c = island_end(c);
        }
        return std::max(passes, 1);
    }

    // The first and last chunk not yet proven (kChunks, kChunks when all are).
    std::pair<std::size_t, std::size_t> unproven() const {
        std::size_t f = kChunks, l = kChunks;
        for (std::size_t c = first_; c < kChunks; ++c) {
            if (chunks_[c].proven) continue;
            if (f == kChunks) f = c;
            l = c;
        }
        return {f, l};
    }

    // One Read Data transaction over chunks from..to, stopped at the first fault.
    void pass(std::size_t from, std::size_t to) {
        broke_ = false;
        strong_ = Doubts{};
        weak_ = Doubts{};
        pass_from_ = from;
        pass_to_ = to;
        read_to_ = from;
        std::optional<PrefetchedPass> sent_ahead;
        if (ahead_.prefetch != nullptr && passes_ == 0 && to == kChunks - 1 && !close_owed_) {
            if (!confirming_ && from == 0)
                sent_ahead = ahead_.prefetch->take(address_, ahead_.upcoming);
            if (confirming_ && from == kSecondReadFrom)
                sent_ahead = ahead_.prefetch->take_second(address_);
        }
        PassExchanges link(address_, from, to, std::move(sent_ahead), close_owed_);
        if (close_owed_) close(&link);
        const FlashAddress at = flash_address(address_ + static_cast<std::uint32_t>(from * 8));
        const ExchangeResult cmd =
            link.put(SPI_CMD, RegisterWord{kCmdReadData, at[0], at[1], at[2]});
        strays(cmd, static_cast<int>(from), false);
        if (!answered(cmd)) return link.windowed() ? window_broke(link) : trace_fault(from);
        if (cmd.doubt == Doubt::Owed) strong_.from(from);  // the address may not have changed
        for (std::size_t c = from; c <= to; ++c) {
            const ExchangeResult phase = link.put(SPI_CTRL, receive_phase(c, from, to));
            strays(phase, static_cast<int>(c), false);
            if (!answered(phase)) return stop(link, c);
            // A phase whose acknowledgement may be a late one may never have happened: this
            // chunk and every later one may read the chunk before.
            if (phase.doubt == Doubt::Owed) strong_.from(c);
            const ExchangeResult read = link.get(c);
            strays(read, static_cast<int>(c), true);
            if (!answered(read)) return stop(link, c);
            // A receive phase that never happened leaves SPI_CTRL as it was: the chunk before.
            // (Owed: on a link not yet known to echo, any late read reply could stand in.) An
            // earlier read's late reply standing in moves nothing: only this chunk is in doubt.
            if (read.doubt == Doubt::Late) weak_.one(c);
            if (read.doubt == Doubt::Copy || read.doubt == Doubt::Owed) {
                if (read.repeats_last) {
                    weak_.from(c);
                } else {
                    weak_.one(c);
                }
            }
            got_[c] = read.word;
            read_to_ = c + 1;
            last_read_ = static_cast<int>(c);
        }
        if (link.windowed()) {
            if (link.run().broken) return window_broke(link);
            last_read_ = kNone;  // the window's last request, a probe, came back in step
            return;
        }
        const Probe probe = probe_in_step();
        if (probe.strays.reads > 0 || !probe.in_step) strong_one(last_read_);
        if (probe.in_step) last_read_ = kNone;
    }

    // A fault at chunk c: the transaction is closed with its end phase before a new one, and
    // what that phase received (chunk c or the one after, or after the pass's last phase maybe
    // nothing) is read, so that SPI_CTRL holds
    // nothing the link has not seen: a next pass whose opening phase never happened reads it
    // again, as a copy would. The next pass opens at c, so that what a late reply of this pass
    // can hold is read before anything else. Through a window, the close opens the next pass's
    // run instead of costing two round trips of its own.
    void stop(PassExchanges& link, std::size_t c) {
        if (link.windowed()) {
            window_broke(link);
        } else {
            trace_fault(c);
            resume_at_ = c;
        }
        // After the pass's last phase the transaction may have ended: the end phase then
        // receives with no chip selected, bytes no chunk holds.
        close_owed_ = c == pass_to_ ? kAnyContent
                                    : ReadKeys{chunk_key(address_, c).first,
                                               chunk_key(address_, c + 1).first};
        if (!link.windowed()) close(&link);
    }

    // Sends the owed close: through link (first in its run when windowed), or without one
    // exchange at a time.
    void close(PassExchanges* link) {
        const ReadKeys holds = *close_owed_;
        close_owed_.reset();
        const RegisterWord end_phase = control(kCtrlReadLast);
        const ExchangeResult end =
            link ? link->put(SPI_CTRL, end_phase) : spi_put(SPI_CTRL, end_phase, nullptr);
        strays(end, kNone, false);
        const ExchangeResult seen = link ? link->get(holds) : spi_get(SPI_CTRL, nullptr, holds);
        strays(seen, kNone, true);
        if (!answered(end) || !answered(seen)) close_owed_ = holds;  // closed again before the next
    }

    // A window that broke may have taken its replies for others', in order and shape: two lost
    // in a row, or two strays taken in a row, shift every later one. One fault shifts nothing
    // unseen: the requests of a pass alternate in kind or register, so a reply one place off
    // misfits the very next request. With one reply missing or one datagram left over (a stray
    // taken for the last reply before the break, at worst), the chunks read stand as in a pass
    // that stopped there, but for that last read; with more, none of them stands on one read.
    // A window of one request shifts nothing: every datagram left over is such a stray.
    void window_broke(const PassExchanges& link) {
        const WindowRun& run = link.run();
        const int faults = run.lost + (run.window > 1 ? run.extras : 0);
        const bool shifted = !run.in_step || faults > 1;
        if (shifted) strong_.from(pass_from_);
        if (!shifted && run.extras > 0) strong_one(last_read_);
        broke_ = true;
        resume_at_ = link.first_lost_chunk();
        tracef(
            "read page %06x: a window of %zu requests broke after %zu replies (%d lost), "
            "reading from chunk %zu again",
            address_, run.window, run.answered, run.lost, shifted ? pass_from_ : read_to_);
    }

    void trace_doubts() const {
        const std::size_t strong = std::min(strong_.from_chunk, first_of(strong_.ones));
        const std::size_t weak = std::min(weak_.from_chunk, first_of(weak_.ones));
        if (strong < read_to_ && !broke_)
            tracef("read page %06x: stray datagrams around chunk %zu, reading it again", address_,
                   strong);
        if (weak < read_to_ && weak < strong && !confirming_)
            tracef("read page %06x: chunk %zu reads as a copy could, reading them again to compare",
                   address_, weak);
    }

    void trace_fault(std::size_t c) const {
        tracef("read page %06x: link fault at chunk %zu, reading on from there", address_, c);
    }

    // Under in-order answers a stray shows right after what it concerns: a read reply of the
    // last read (which then took another's reply), or a write acknowledgement of a receive
    // phase made twice (every chunk read after it may be one place on).
    // Its value is then dropped, not kept to compare: two reads that a doubled phase moved
    // by the same one place agree on the wrong bytes.
    void strays(const ExchangeResult& e, int next_read, bool is_read) {
        if (e.strays.reads > 0) {
            strong_one(last_read_);
            if (is_read) strong_one(next_read);
        }
        if (e.strays.others > 0 && next_read != kNone)
            strong_.from(static_cast<std::size_t>(next_read));
    }

    void strong_one(int c) {
        if (c == kNone) return;
        const auto i = static_cast<std::size_t>(c);
        if (i >= pass_from_) {
            strong_.one(i);
        } else {
            drop(chunks_[i], i);  // a chunk of an earlier pass
        }
    }

    void merge(std::size_t from) {
        int again = 0;
        for (std::size_t c = from; c < read_to_; ++c) {
            Chunk& k = chunks_[c];
            if (k.have) ++again;
            const bool agrees = k.have && k.value == got_[c];
            if (strong_.has(c)) {
                // This read may be another's; a value an earlier read proved stands.
                if (!k.proven) drop(k, c);
                continue;
            }
            if (k.have && !agrees)
                owe_contradicted({&k.value, &got_[c], c > from ? &got_[c - 1] : nullptr,
                                  c + 1 < read_to_ ? &got_[c + 1] : nullptr});
            const std::size_t shift_from = c >= weak_.from_chunk ? weak_.from_chunk : kChunks;
            if (confirming_ || weak_.has(c)) {
                // Two reads that agree settle it, unless both may be one place on from receive
                // phases that never happened at different chunks: those agree on wrong bytes.
                k.proven = agrees && !(shift_from != kChunks && k.shift_from != kChunks &&
                                       shift_from != k.shift_from);
            } else {
                // A clean read proves the chunk, unless it contradicts one that was proven.
                k.proven = !(k.proven && !agrees);
            }
            k.value = got_[c];
            k.have = true;
            k.shift_from = shift_from;
            if (k.proven) proved_by_[c] = agrees ? kTwoReads : passes_;
        }
        if (again > 0) count_chunks_reread(again);
    }

    // A value that may not be the flash's is not kept to compare: two reads that a doubled
    // phase moved by the same one place agree on the wrong bytes. A confirmation falls back
    // on the earlier read's value.
    void drop(Chunk& k, std::size_t c) const { k = confirming_ ? seed_[c] : Chunk{}; }

    std::uint32_t address_;
    std::size_t first_;
    ReadAhead ahead_;
    bool confirming_ = false;
    bool broke_ = false;  // this pass's window broke (traced already)
    int passes_ = 0;
    // The pass whose read proved each chunk, or kTwoReads where two passes agreed on it.
    std::array<int, kChunks> proved_by_{};
    std::array<Chunk, kChunks> seed_{};  // the values a confirmation compares with
    std::array<Chunk, kChunks> chunks_{};
    std::array<RegisterWord, kChunks> got_{};
    std::size_t pass_from_ = 0;  // this pass opened at this chunk
    std::size_t pass_to_ = 0;    // and was to end at this one
    std::size_t read_to_ = 0;    // and read chunks up to read_to_-1
    // Chunks of this pass in doubt: strongly (a stray showed: the value is dropped) or weakly
    // (a copy could stand in: the value is kept to compare with the next read).
    struct Doubts {
        std::size_t from_chunk = kChunks;
        ChunkSet ones;
        void from(std::size_t c) { from_chunk = std::min(from_chunk, c); }
        void one(std::size_t c) { ones.set(c); }
        [[nodiscard]] bool has(std::size_t c) const { return c >= from_chunk || ones[c]; }
    };
    Doubts strong_;
    Doubts weak_;
    int last_read_ = kNone;  // the chunk of the last SPI_CTRL read no probe closed
    // A transaction a fault stopped, not yet closed: what its end phase may receive.
    std::optional<ReadKeys> close_owed_;
    // The chunk whose reply a fault left owed: the next pass opens there.
    std::size_t resume_at_ = kChunks;
};

}  // namespace

bool read_page_checked(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest,
                       ReadAhead ahead) {
    return read_chunks_checked(address, 0, dest, ahead);
}

namespace {

bool chunks_alike(std::span<const std::uint8_t, kPageSize> page) {
    for (std::size_t c = 1; c < kChunks; ++c)
        if (word_at(page, c) != word_at(page, 0)) return false;
    return true;
}

// expected: the whole page's bytes, where the caller knows them (then first is 0).
bool read_chunks(std::uint32_t address, std::size_t first, std::span<std::uint8_t, kPageSize> dest,
                 ReadAhead ahead, std::span<const std::uint8_t, kPageSize>* expected) {
    PageReader read(address, first, ahead);
    if (!read.run(dest)) return false;
    // While the link may make copies (it has shown duplicates: a receive phase taken twice may
    // have moved the chunks without showing), the page stands once a second, separate read
    // agrees with it from where a move would show (see confirm_chunks).
    if (!link_may_make_copies()) return true;
    if (expected != nullptr && !link_window_in_use() &&
        std::equal(dest.begin(), dest.end(), expected->begin()) && !chunks_alike(dest))
        return true;
    ChunkSet again_chunks = read.confirm_chunks(dest);
    if (again_chunks.none()) return true;  // two separate reads agree on every chunk
    std::size_t start = first_of(again_chunks);
    // Through a window a pass spans every chunk not yet proven: the second read then compares
    // all of them from the first.
    if (link_window_in_use())
        for (std::size_t c = start; c < kChunks; ++c)
            again_chunks.set(c);
    if (ahead.prefetch != nullptr) ahead.prefetch->second_read_from(start);
    std::array<std::uint8_t, kPageSize> again{};
    for (int confirm = 0; confirm < kPageConfirmTries; ++confirm) {
        const auto from = static_cast<std::ptrdiff_t>(start * 8);
        PageReader reader(address, start, confirm == 0 ? ahead : ReadAhead{});
        reader.confirm(dest, again_chunks);
        if (!reader.run(again)) return false;
        if (std::equal(dest.begin() + from, dest.end(), again.begin() + from)) return true;
        for (std::size_t c = start; c < kChunks; ++c) {
            const RegisterWord a = word_at(dest, c), b = word_at(again, c);
            if (a == b) continue;
            const RegisterWord before = word_at(again, c > 0 ? c - 1 : c);
            const RegisterWord after = word_at(again, c + 1 < kChunks ? c + 1 : c);
            owe_contradicted({&a, &b, &before, &after});
        }
        count_page_reread();
        tracef("read page %06x: a second read differs, reading it again", address);
        std::copy(again.begin() + from, again.end(), dest.begin() + from);
        start = first;  // something moved: the next read compares the whole page
        again_chunks.set();
    }
    tracef("read page %06x failed: no two reads agree", address);
    return false;
}

}  // namespace

bool read_chunks_checked(std::uint32_t address, std::size_t first,
                         std::span<std::uint8_t, kPageSize> dest, ReadAhead ahead) {
    return read_chunks(address, first, dest, ahead, nullptr);
}

bool read_page_expecting(std::uint32_t address, std::span<std::uint8_t, kPageSize> dest,
                         std::span<const std::uint8_t, kPageSize> expected, ReadAhead ahead) {
    return read_chunks(address, 0, dest, ahead, &expected);
}

}  // namespace kestrel
