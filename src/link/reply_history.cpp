#include "link/reply_history.h"

#include <algorithm>
#include <cstring>

#include "link/reply_shape.h"

namespace kestrel {
namespace {

constexpr std::size_t kMaxOwed = 1024;
constexpr std::size_t kMaxWitnessWords = 32;
constexpr std::size_t kPruneEvery = 1024;

std::uint64_t key_of(const RegisterWord& word) {
    std::uint64_t key = 0;
    std::memcpy(&key, word.data(), sizeof key);
    return key;
}

bool same_reg(std::uint32_t a, std::uint32_t b) {
    return a == b || a == ReplyShape::kAnyRegister || b == ReplyShape::kAnyRegister;
}

}  // namespace

bool ReplyHistory::Owed::can_hold(std::uint64_t word) const {
    return std::find(words.begin(), words.end(), word) != words.end() ||
           std::find(arrived.begin(), arrived.end(), word) != arrived.end();
}

bool ReplyHistory::Owed::witnessed() const {
    if (!keys.any()) return witnesses >= kOwedWitnessReads;
    return (keys.first == 0 || first_read) && (keys.second == 0 || second_read);
}

bool ReplyHistory::Owed::witness(std::uint64_t word, ReadKeys read) {
    if (!keys.any()) {
        if (witnesses >= kOwedWitnessReads) return false;
        ++witnesses;
    } else {
        // Only a read of one known content tells what the late reply holds. Later reads of the
        // key still add theirs: the first may itself have been another's late reply.
        if (!read.one() || (read.first != keys.first && read.first != keys.second)) return false;
        (read.first == keys.first ? first_read : second_read) = true;
    }
    if (std::find(words.begin(), words.end(), word) != words.end()) return true;
    if (words.size() >= kMaxWitnessWords) {
        unbounded = true;  // too many to tell by: any read could be its late reply
        return true;
    }
    words.push_back(word);
    return true;
}

void ReplyHistory::owe(ExchangeKind kind, std::uint32_t reg, std::uint64_t now_us, ReadKeys keys) {
    expire_owed(now_us);
    if (owed_.size() >= kMaxOwed) {
        // The oldest stand-in goes first (its own reply most likely came). Any other debt
        // forgotten may still come: until then the link is taken to make copies.
        auto oldest =
            std::find_if(owed_.begin(), owed_.end(), [](const Owed& o) { return o.stand_in; });
        if (oldest == owed_.end()) {
            oldest = owed_.begin();
            last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
        }
        owed_.erase(oldest);
    }
    Owed debt;
    debt.id = ++debts_;
    debt.kind = kind;
    debt.reg = reg;
    debt.since_us = now_us;
    if (kind == ExchangeKind::Read) debt.keys = keys;
    debt.unbounded = kind == ExchangeKind::Read && keys.first == kAnyContent.first &&
                     keys.second == kAnyContent.second;
    if (kind == ExchangeKind::Read) {
        // What the register held just before: the value a late reply keeps when the step
        // that should have changed it never happened.
        const auto values = reads_.find(reg);
        if (values != reads_.end() && values->second.any)
            debt.words.push_back(values->second.last_word);
    }
    owed_.push_back(std::move(debt));
}

void ReplyHistory::owe_holding(std::uint32_t reg, const RegisterWord& word,
                               std::uint64_t since_us) {
    owe(ExchangeKind::Read, reg, since_us);
    Owed& debt = owed_.back();
    debt.words.assign(1, key_of(word));
    debt.witnesses = kOwedWitnessReads;  // witnessed: the word is all it can hold
}

void ReplyHistory::owe_contradicted(std::uint32_t reg, std::span<const RegisterWord> words,
                                    std::uint64_t now_us) {
    owe(ExchangeKind::Read, reg, now_us, kAnyContent);
    Owed& debt = owed_.back();
    debt.asked_known = false;  // owed from when the contradiction showed, not when it was asked
    debt.unbounded = false;
    debt.words.clear();
    for (const RegisterWord& w : words)
        if (debt.words.size() < kMaxWitnessWords) debt.words.push_back(key_of(w));
    debt.witnesses = kOwedWitnessReads;
    debt.keys = ReadKeys{};  // witnessed: the words are all it can hold
}

bool ReplyHistory::owes(ExchangeKind kind, std::uint32_t reg, std::uint64_t now_us) {
    expire_owed(now_us);
    return std::any_of(owed_.begin(), owed_.end(),
                       [&](const Owed& o) { return o.kind == kind && same_reg(o.reg, reg); });
}

void ReplyHistory::settle_owed(ExchangeKind kind, std::uint32_t reg) {
    const auto owed = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) {
        return o.kind == kind && same_reg(o.reg, reg);
    });
    if (owed == owed_.end()) return;
    if (settled_.size() >= kMaxOwed) settled_.erase(settled_.begin());
    settled_.push_back(*owed);
    owed_.erase(owed);
}

void ReplyHistory::taken(ExchangeKind kind, std::uint32_t reg, const RegisterWord& word,
                         std::uint64_t now_us, ReadKeys keys, Doubt doubt) {
    ++taken_seq_;
    if (kind == ExchangeKind::Write) {
        last_write_us_[reg] = now_us;
        return;
    }
    witness(reg, key_of(word), now_us, keys);
    // It may have been another read's late reply (a stray came around it, or an owed read could
    // hold it): then its own is still to come. (Not merely a word a copy could give: a copy's
    // own reply comes right behind it and shows as a stray.)
    // A debt this very read showed was paid by a stray before it (its witness) took nothing.
    std::optional<Cause> cause =
        doubt == Doubt::Copy || doubt == Doubt::Late ? debt_could_stand_in_ : std::nullopt;
    if (cause &&
        std::none_of(owed_.begin(), owed_.end(), [&](const Owed& o) { return o.id == cause->id; }))
        cause.reset();
    // A stray around it made the reply taken another's only where another reply of reg could
    // come: one still owed by a read of reg, or a copy on a link that makes them. (A stray of
    // another register, the late reply of a probe, takes nothing from this read.)
    const auto other_could_come = [&] {
        return duplicates_seen(now_us) ||
               std::any_of(owed_.begin(), owed_.end(), [&](const Owed& o) {
                   return o.kind == ExchangeKind::Read && same_reg(o.reg, reg);
               });
    };
    const bool stand_in =
        (doubt == Doubt::Stray && other_could_come()) || doubt == Doubt::Owed || cause.has_value();
    debt_could_stand_in_.reset();
    // One late reply stands in for one read at most: the reads that may have taken the same
    // debt's share one debt of their own, holding any of their words.
    const bool joined = cause && join_stand_in(cause->id, reg, key_of(word));
    if (stand_in && !joined) {
        // Its own reply most likely holds what it took: never a debt that may hold anything.
        // Taken for a debt's late reply, its own came right behind it unless a further fault
        // held it up: it is owed as long as that debt, and not once that debt's reply came.
        owe(kind, reg, now_us, keys);
        Owed& debt = owed_.back();
        debt.stand_in = true;
        if (cause) {
            debt.cause = cause->id;
            debt.since_us = cause->since_us;
        }
        debt.words.push_back(key_of(word));
        if (debt.unbounded) {  // no read shows what it asked for: what it took is all it holds
            debt.unbounded = false;
            debt.keys = ReadKeys{};
            debt.witnesses = kOwedWitnessReads;
        }
    }
    Values& values = reads_[reg];
    values.last_taken[key_of(word)] = {now_us, taken_seq_, keys};
    values.last_word = key_of(word);
    values.any = true;
    values.last_any_us = now_us;
    if (++values.since_prune >= kPruneEvery) prune(values, now_us);
}

void ReplyHistory::witness(std::uint32_t reg, std::uint64_t word, std::uint64_t now_us,
                           ReadKeys keys) {
    bool unplaced = false;
    std::vector<std::uint64_t> came_ids;
    std::erase_if(owed_, [&](Owed& o) {
        if (o.kind != ExchangeKind::Read || !same_reg(o.reg, reg)) return false;
        const bool before = o.witnessed();
        if (!o.witness(word, keys) || before || !o.witnessed() || o.arrived.empty()) return false;
        // The witnesses are in: a stray that came for this read and holds a word it can hold
        // was its late reply; one that does not was something else.
        const bool came = std::any_of(o.arrived.begin(), o.arrived.end(), [&](std::uint64_t a) {
            return std::find(o.words.begin(), o.words.end(), a) != o.words.end();
        });
        if (!came) {
            unplaced = true;
            o.arrived.clear();
        } else {
            came_ids.push_back(o.id);
        }
        return came;
    });
    for (const std::uint64_t id : came_ids)
        drop_stand_ins_of(id);
    if (unplaced) last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
}

bool ReplyHistory::repeats_last(std::uint32_t reg, const RegisterWord& word) const {
    const auto values = reads_.find(reg);
    return values != reads_.end() && values->second.any && values->second.last_word == key_of(word);
}

bool ReplyHistory::copy_possible(std::uint32_t reg, const RegisterWord& word, std::uint64_t now_us,
                                 ReadKeys keys) {
    return read_doubt(reg, word, now_us, keys) != Doubt::None;
}

Doubt ReplyHistory::read_doubt(std::uint32_t reg, const RegisterWord& word, std::uint64_t now_us,
                               ReadKeys keys) {
    expire_owed(now_us);
    const std::uint64_t key = key_of(word);
    bool possible = false;
    debt_could_stand_in_.reset();
    for (const Owed& o : owed_) {
        if (o.kind != ExchangeKind::Read || !same_reg(o.reg, reg)) continue;
        if (o.can_hold(key)) {
            possible = true;
            // Only a read that timed out makes the read that took its word owe its own: a
            // stand-in's words are the chunk's own, and every later read of them would owe
            // another (on an erased chip, every read).
            if (!o.stand_in && !debt_could_stand_in_)
                debt_could_stand_in_ = Cause{o.id, o.since_us};
        }
        // A read that timed out, not witnessed yet: its late reply holds bytes not read so far,
        // unless this read is of the very bytes it holds (then it is right either way). (A
        // stand-in's own reply is most likely what it took: only its content is doubted.)
        const bool own = keys.one() && o.keys.one() && keys.first == o.keys.first;
        if ((o.keys.any() && !o.witnessed() && !own && !o.stand_in) || o.unbounded) possible = true;
    }
    if (copy_could_stand_in(reg, word, now_us, keys)) return Doubt::Copy;
    return possible ? Doubt::Late : Doubt::None;
}

bool ReplyHistory::copy_could_stand_in(std::uint32_t reg, const RegisterWord& word,
                                       std::uint64_t now_us, ReadKeys keys) const {
    // A write acknowledgement still on its way can stand in for a receive phase that never
    // happened, which leaves the register as it was.
    const auto write_owed = [&](const Owed& o) {
        return o.kind == ExchangeKind::Write && same_reg(o.reg, reg);
    };
    if (repeats_last(reg, word) && (std::any_of(owed_.begin(), owed_.end(), write_owed) ||
                                    std::any_of(settled_.begin(), settled_.end(), write_owed)))
        return true;
    if (!duplicates_seen(now_us)) return false;
    const auto values = reads_.find(reg);
    if (values == reads_.end()) return false;
    const auto it = values->second.last_taken.find(key_of(word));
    if (it == values->second.last_taken.end()) return false;
    const Values::Taken& t = it->second;
    if (own_word(t, keys)) return false;
    if (just_taken(t, now_us)) return true;
    return keys.one() && t.keys.any() && now_us - t.us <= kOwedKeptUs;
}

StraySort ReplyHistory::read_stray(std::uint32_t reg, std::uint64_t word, std::uint64_t now_us) {
    // The very word a read of reg just took: a copy of that reply as much as a late one. Where
    // no read of reg that timed out can hold it, it shows the link makes copies. Where one can,
    // on a link that has shown duplicates, it pays no debt (a copy of the read that witnessed a
    // debt would pay it, and the real late reply would then stand in unseen), and the link is
    // not taken to make copies for it. On a link that has shown none, a copy is a guess: it is
    // that read's reply, late on a busy host, and is judged as any other.
    const auto values = reads_.find(reg);
    if (values != reads_.end()) {
        const auto it = values->second.last_taken.find(word);
        if (it != values->second.last_taken.end() && just_taken(it->second, now_us)) {
            const auto owed_read = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) {
                return o.kind == ExchangeKind::Read && same_reg(o.reg, reg) && !o.stand_in &&
                       (!o.witnessed() || o.can_hold(word));
            });
            if (owed_read == owed_.end()) {
                last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
                return {StrayKind::Duplicate};
            }
            if (duplicates_seen(now_us)) return {StrayKind::Late, owed_read->asked_us()};
        }
    }
    // A read that timed out has one late reply: one that already came for a debt not yet
    // witnessed leaves the next stray to a later debt that can take it.
    auto waiting = owed_.end();
    for (auto o = owed_.begin(); o != owed_.end(); ++o) {
        if (o->kind != ExchangeKind::Read || !same_reg(o->reg, reg)) continue;
        const std::uint64_t since = o->asked_us();
        if (o->unbounded && o->keys.first == kAnyContent.first) {
            paid(o);  // no read will witness it: a reply that can hold anything came
            return {StrayKind::Late, since};
        }
        if (!o->witnessed()) {
            if (!o->arrived.empty()) {
                if (waiting == owed_.end()) waiting = o;
                continue;
            }
            o->arrived.push_back(word);  // judged once the witnesses are in
            return {StrayKind::Late, since};
        }
        if (std::find(o->words.begin(), o->words.end(), word) != o->words.end()) {
            paid(o);
            return {StrayKind::Late, since};
        }
    }
    if (waiting != owed_.end()) {
        waiting->arrived.push_back(word);
        return {StrayKind::Late, waiting->asked_us()};
    }
    last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
    return {StrayKind::Other};
}

StraySort ReplyHistory::stray(ExchangeKind kind, bool kind_known, std::uint32_t reg,
                              const RegisterWord& word, std::uint64_t now_us) {
    expire_owed(now_us);
    if (kind_known && kind == ExchangeKind::Read) return read_stray(reg, key_of(word), now_us);
    bool copy = false;
    if (kind_known) {
        const auto it = last_write_us_.find(reg);
        copy = it != last_write_us_.end() && now_us - std::min(now_us, it->second) < kCopyWindowUs;
    }
    const auto owed = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) {
        return (!kind_known || o.kind == kind) && same_reg(o.reg, reg);
    });
    const auto settled = std::find_if(settled_.begin(), settled_.end(), [&](const Owed& o) {
        return (!kind_known || o.kind == kind) && same_reg(o.reg, reg);
    });
    // Acknowledgements carry nothing to tell a copy from the late one: it pays a debt, but one
    // that came right behind an acknowledgement of its register may have been a copy (and the
    // late one still on its way), so a link that has shown copies is taken to make them still.
    // Not when that acknowledgement was taken in doubt for the late one (its debt settled):
    // this one is then that exchange's own, as a reply a busy host was slow to see leaves it.
    // On a link that has shown none, a copy is a guess: a debt owed is what it pays.
    if (copy && settled == settled_.end() && (owed == owed_.end() || duplicates_seen(now_us)))
        last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
    if (owed != owed_.end()) {
        const std::uint64_t since = owed->asked_us();
        owed_.erase(owed);
        return {StrayKind::Late, since};
    }
    if (settled != settled_.end()) {
        const std::uint64_t since = settled->asked_us();
        settled_.erase(settled);
        return {StrayKind::Late, since};
    }
    // Not a debt come late: a copy, or a datagram the link can't place. Either way this link
    // makes datagrams that can stand in for replies.
    last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
    return {copy ? StrayKind::Duplicate : StrayKind::Other};
}

bool ReplyHistory::just_taken(const Values::Taken& t, std::uint64_t now_us) const {
    return now_us - std::min(now_us, t.us) <= kCopyWindowUs || taken_seq_ - t.seq < kCopyExchanges;
}

bool ReplyHistory::own_word(const Values::Taken& t, ReadKeys keys) {
    if (!keys.one()) return false;
    if (t.keys.one()) return t.keys.first == keys.first;
    return t.keys.second != kAnyContent.second && t.keys.second == keys.first;
}

bool ReplyHistory::join_stand_in(std::uint64_t cause, std::uint32_t reg, std::uint64_t word) {
    const auto debt = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) {
        return o.stand_in && o.cause == cause && o.reg == reg;
    });
    if (debt == owed_.end()) return false;
    const auto values = reads_.find(reg);
    for (const std::uint64_t w : {word, values != reads_.end() ? values->second.last_word : word}) {
        if (debt->can_hold(w)) continue;
        if (debt->words.size() >= kMaxWitnessWords) return false;
        debt->words.push_back(w);
    }
    return true;
}

void ReplyHistory::paid(std::vector<Owed>::iterator debt) {
    const std::uint64_t id = debt->id;
    owed_.erase(debt);
    drop_stand_ins_of(id);
}

void ReplyHistory::drop_stand_ins_of(std::uint64_t cause) {
    std::erase_if(owed_, [cause](const Owed& o) { return o.stand_in && o.cause == cause; });
}

void ReplyHistory::expire_owed(std::uint64_t now_us) {
    const auto expired = [now_us](const Owed& o) {
        return now_us > o.since_us && now_us - o.since_us >= kOwedKeptUs;
    };
    std::erase_if(owed_, expired);
    std::erase_if(settled_, expired);
}

void ReplyHistory::prune(Values& values, std::uint64_t now_us) {
    values.since_prune = 0;
    std::erase_if(values.last_taken, [&](const auto& v) {
        const std::uint64_t kept = v.second.keys.any() ? kOwedKeptUs : kCopyWindowUs;
        return now_us - std::min(now_us, v.second.us) > kept &&
               taken_seq_ - v.second.seq >= kCopyExchanges;
    });
}

}  // namespace kestrel
