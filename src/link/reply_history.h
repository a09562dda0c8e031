// What the link remembers of earlier replies, to tell when a reply that fits may be another
// request's: the replies still owed by requests that timed out, the recent values of each
// register read, and when a duplicate was last seen. Owned by the link state, under the lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "link/exchange.h"

namespace kestrel {

// A copy of a reply can stand in for a later one only while it is on its way.
inline constexpr std::uint64_t kCopyWindowUs = 5000;
inline constexpr std::uint64_t kCopyExchanges = 2;
// A link that showed a duplicate (or a stray it could not place) is taken to make them for
// this long.
inline constexpr std::uint64_t kDuplicatesRememberedUs = 10000000;
// An owed reply is forgotten once it came, or after this long (a bound on memory, not a rule:
// the doubt it makes is narrowed by content, see copy_possible).
inline constexpr std::uint64_t kOwedKeptUs = 1500000;
// Without a key, the reads of a register taken after one of its reads timed out that witness
// what that read's late reply can hold (the procedure reads the register again at once).
inline constexpr int kOwedWitnessReads = 3;

// What a stray datagram turned out to be.
enum class StrayKind { Late, Duplicate, Other };
struct StraySort {
    StrayKind kind = StrayKind::Other;
    std::uint64_t owed_since_us = 0;  // Late: when the request it answers was sent (0: unknown)
};

class ReplyHistory {
  public:
    // Registers are keyed as ReplyShape::register_of gives them (kAnyRegister when the device
    // does not echo).
    // A read's keys say what its late reply will hold (see ReadKeys).
    void owe(ExchangeKind kind, std::uint32_t reg, std::uint64_t now_us, ReadKeys keys = {});
    [[nodiscard]] bool owes(ExchangeKind kind, std::uint32_t reg, std::uint64_t now_us);
    [[nodiscard]] bool owes_any(std::uint64_t now_us) {
        expire_owed(now_us);
        return !owed_.empty();
    }

    // A write acknowledgement of reg was taken while one was owed (Doubt::Owed): it was the late
    // one, or the late one is still to come and will show as a stray around a later exchange.
    // The debt is settled; a stray that then comes for it is that late one (StrayKind::Late),
    // not a sign that the link makes copies. (A read's debt stays: its late reply is told by
    // its content.)
    void settle_owed(ExchangeKind kind, std::uint32_t reg);

    // A read of reg sent at since_us, whose reply may still come: it holds word (the same
    // request sent again was answered with it, and nothing changed the register between).
    void owe_holding(std::uint32_t reg, const RegisterWord& word, std::uint64_t since_us);

    // A read of reg whose word later reads contradicted took a reply not its own: its own may
    // still come, holding one of words (what the bytes it asked for, or a neighbour's, were
    // read as). Kept as a debt that is already witnessed: only reads giving one of words are in
    // doubt (copy_possible), and a stray holding one pays it.
    void owe_contradicted(std::uint32_t reg, std::span<const RegisterWord> words,
                          std::uint64_t now_us);

    // A reply the link took as its request's. Reads record their word; a read with one key
    // witnesses what an owed read of that key can hold. A read taken in doubt that may have taken
    // another's late reply (a stray came around it while a read of reg was owed or copies could
    // come, or copy_possible found a debt that could be it) owes its own reply as well.
    void taken(ExchangeKind kind, std::uint32_t reg, const RegisterWord& word, std::uint64_t now_us,
               ReadKeys keys = {}, Doubt doubt = Doubt::None);

    // Why a read of reg that gave word may not be its own reply:
    // - Doubt::Copy: a copy could stand in, or a late acknowledgement for a receive phase that
    //   never happened. The same word was taken for reg right before (see just_taken) on a link
    //   that has shown a duplicate, or for another chunk within kOwedKeptUs (a late reply whose
    //   debt a copy paid unseen can stand in that long); or the read repeats the last word of
    //   reg while a write of reg still owes its acknowledgement.
    // - Doubt::Late: a late reply of an earlier read could stand in for this read alone: it is
    //   a word a read of reg still owed can hold (the last one taken for reg before that read,
    //   one taken by the reads that witness it, or a stray's that came for it). While an owed
    //   keyed read has no witness yet, its late reply may hold anything not read so far: every
    //   read of reg could be it, except one of its own key.
    // - Doubt::None otherwise. Copy wins where both hold.
    [[nodiscard]] Doubt read_doubt(std::uint32_t reg, const RegisterWord& word,
                                   std::uint64_t now_us, ReadKeys keys = {});
    // read_doubt(...) != Doubt::None.
    [[nodiscard]] bool copy_possible(std::uint32_t reg, const RegisterWord& word,
                                     std::uint64_t now_us, ReadKeys keys = {});

    // Sorts a stray datagram of kind (when its length tells) naming reg: the late reply of an
    // owed request (that debt is then settled), a copy of a reply taken, or something else.
    // A read reply settles a read's debt only when it holds a word that read can hold; while
    // the witnesses are still to come, it is taken for that late reply until they show it was
    // not (the link is then taken to make datagrams it can't place).
    [[nodiscard]] StraySort stray(ExchangeKind kind, bool kind_known, std::uint32_t reg,
                                  const RegisterWord& word, std::uint64_t now_us);

    // A datagram the link could place on no request came: the link is taken to make copies.
    void duplicate_seen(std::uint64_t now_us) {
        last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
    }

    // A duplicate seen lately. (A reply still owed is told by what it can hold: copy_possible.)
    [[nodiscard]] bool may_make_copies(std::uint64_t now_us) const {
        return duplicates_seen(now_us);
    }

    [[nodiscard]] bool duplicates_seen(std::uint64_t now_us) const {
        return last_duplicate_us_ != 0 && now_us - last_duplicate_us_ < kDuplicatesRememberedUs;
    }

  private:
    struct Owed {
        std::uint64_t id = 0;
        std::uint64_t cause = 0;  // a stand-in's: the debt whose late reply it may have taken
        ExchangeKind kind = ExchangeKind::Read;
        std::uint32_t reg = 0;
        std::uint64_t since_us = 0;
        bool asked_known = true;  // since_us is when the request was sent (else when owed)
        ReadKeys keys;
        // Reads: the words the late reply can hold, the witnesses taken so far (keyless: a
        // count; keyed: which keys were read), and the words of strays that came for it before
        // it was witnessed.
        std::vector<std::uint64_t> words;
        int witnesses = 0;
        bool first_read = false;
        bool second_read = false;
        bool unbounded = false;  // more words than are kept: it may hold anything
        bool stand_in = false;   // owed by a read taken in doubt (see taken)
        std::vector<std::uint64_t> arrived;
        [[nodiscard]] bool can_hold(std::uint64_t word) const;
        // When the request whose reply this is was sent; 0 when that is not known.
        [[nodiscard]] std::uint64_t asked_us() const {
            return asked_known && !stand_in ? since_us : 0;
        }
        [[nodiscard]] bool witnessed() const;
        // Takes a witness's word; true when it belongs to this debt.
        bool witness(std::uint64_t word, ReadKeys read);
    };
    void witness(std::uint32_t reg, std::uint64_t word, std::uint64_t now_us, ReadKeys keys);
    [[nodiscard]] StraySort read_stray(std::uint32_t reg, std::uint64_t word, std::uint64_t now_us);

  public:
    // Whether word equals the last word taken for reg.
    [[nodiscard]] bool repeats_last(std::uint32_t reg, const RegisterWord& word) const;

  private:
    struct Values {
        struct Taken {
            std::uint64_t us = 0;
            std::uint64_t seq = 0;  // the count of replies taken when this one was
            ReadKeys keys;          // what the read that took it asked for
        };
        std::unordered_map<std::uint64_t, Taken> last_taken;  // word -> when
        std::uint64_t last_word = 0;
        bool any = false;
        std::uint64_t last_any_us = 0;
        std::size_t since_prune = 0;
    };
    // A copy of a reply taken then shows right behind it: within kCopyWindowUs, or within
    // the next kCopyExchanges exchanges however long a busy host took over them.
    [[nodiscard]] bool just_taken(const Values::Taken& t, std::uint64_t now_us) const;
    // Whether a read of keys that gives the word t was taken with holds its own bytes either
    // way: t was taken by a read of that very chunk, or by the read after a fault that holds
    // the chunk before it or this one (the chunk before is read first: had it held that,
    // the chunk before's read would have taken the word since).
    [[nodiscard]] static bool own_word(const Values::Taken& t, ReadKeys keys);
    // The Doubt::Copy half of read_doubt.
    [[nodiscard]] bool copy_could_stand_in(std::uint32_t reg, const RegisterWord& word,
                                           std::uint64_t now_us, ReadKeys keys) const;
    // Adds word (and the word reg held before it) to the stand-in owed for debt cause's late
    // reply, if there is one with room: true when it did.
    bool join_stand_in(std::uint64_t cause, std::uint32_t reg, std::uint64_t word);
    // The late reply of debt came: it goes, and so do the stand-ins that may have taken it.
    void paid(std::vector<Owed>::iterator debt);
    // The reply of debt cause came: no read took it, so the stand-ins owed for it go.
    void drop_stand_ins_of(std::uint64_t cause);
    void expire_owed(std::uint64_t now_us);
    void prune(Values& values, std::uint64_t now_us);

    std::vector<Owed> owed_;
    std::vector<Owed> settled_;  // debts settled by an ack in doubt; their late reply may come
    std::unordered_map<std::uint32_t, Values> reads_;
    std::unordered_map<std::uint32_t, std::uint64_t> last_write_us_;
    std::uint64_t taken_seq_ = 0;  // replies taken so far
    struct Cause {
        std::uint64_t id = 0;
        std::uint64_t since_us = 0;
    };
    // The read debt (not a stand-in) the last read_doubt found could stand in.
    std::optional<Cause> debt_could_stand_in_;
    std::uint64_t debts_ = 0;  // debts owed so far, to name each
    std::uint64_t last_duplicate_us_ = 0;
};

}  // namespace kestrel
