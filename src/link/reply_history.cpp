#include "link/reply_history.h"

#include <algorithm>
#include <cstring>

#include "link/reply_shape.h"

namespace kestrel {
namespace {

constexpr std::size_t kMaxOwed = 64;
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

void ReplyHistory::owe(ExchangeKind kind, std::uint32_t reg, std::uint64_t now_us) {
    expire_owed(now_us);
    if (owed_.size() >= kMaxOwed) owed_.erase(owed_.begin());
    owed_.push_back({kind, reg, now_us});
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
                         std::uint64_t now_us) {
    if (kind == ExchangeKind::Write) {
        last_write_us_[reg] = now_us;
        return;
    }
    Values& values = reads_[reg];
    values.last_taken_us[key_of(word)] = now_us;
    values.last_word = key_of(word);
    values.any = true;
    values.last_any_us = now_us;
    if (++values.since_prune >= kPruneEvery) prune(values, horizon_us(reg, now_us));
}

bool ReplyHistory::repeats_last(std::uint32_t reg, const RegisterWord& word) const {
    const auto values = reads_.find(reg);
    return values != reads_.end() && values->second.any && values->second.last_word == key_of(word);
}

bool ReplyHistory::copy_possible(std::uint32_t reg, const RegisterWord& word,
                                 std::uint64_t now_us) {
    expire_owed(now_us);
    const bool owed = oldest_owed_us(reg) != 0;
    if (!owed && !duplicates_seen(now_us)) return false;
    const auto values = reads_.find(reg);
    if (values == reads_.end()) return false;
    const auto it = values->second.last_taken_us.find(key_of(word));
    return it != values->second.last_taken_us.end() && it->second >= horizon_us(reg, now_us);
}

StraySort ReplyHistory::stray(ExchangeKind kind, bool kind_known, std::uint32_t reg,
                              const RegisterWord& word, std::uint64_t now_us) {
    expire_owed(now_us);
    const auto owed = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) {
        return (!kind_known || o.kind == kind) && same_reg(o.reg, reg);
    });
    if (owed != owed_.end()) {
        const std::uint64_t since = owed->since_us;
        owed_.erase(owed);
        return {StrayKind::Late, since};
    }
    const auto settled = std::find_if(settled_.begin(), settled_.end(), [&](const Owed& o) {
        return (!kind_known || o.kind == kind) && same_reg(o.reg, reg);
    });
    if (settled != settled_.end()) {
        const std::uint64_t since = settled->since_us;
        settled_.erase(settled);
        return {StrayKind::Late, since};
    }
    bool copy = false;
    if (kind_known && kind == ExchangeKind::Write) {
        const auto it = last_write_us_.find(reg);
        copy = it != last_write_us_.end() && now_us - std::min(now_us, it->second) < kCopyWindowUs;
    } else if (kind_known) {
        const auto values = reads_.find(reg);
        if (values != reads_.end()) {
            const auto it = values->second.last_taken_us.find(key_of(word));
            copy = it != values->second.last_taken_us.end() &&
                   now_us - std::min(now_us, it->second) < kCopyWindowUs;
        }
    }
    // Not a debt come late: a copy, or a datagram the link can't place. Either way this link
    // makes datagrams that can stand in for replies.
    last_duplicate_us_ = std::max<std::uint64_t>(now_us, 1);
    return {copy ? StrayKind::Duplicate : StrayKind::Other};
}

void ReplyHistory::expire_owed(std::uint64_t now_us) {
    const auto expired = [now_us](const Owed& o) {
        return now_us > o.since_us && now_us - o.since_us >= kOwedKeptUs;
    };
    std::erase_if(owed_, expired);
    std::erase_if(settled_, expired);
}

std::uint64_t ReplyHistory::oldest_owed_us(std::uint32_t reg) const {
    std::uint64_t oldest = 0;
    for (const Owed& o : owed_)
        if (same_reg(o.reg, reg) && (oldest == 0 || o.since_us < oldest)) oldest = o.since_us;
    return oldest;
}

std::uint64_t ReplyHistory::horizon_us(std::uint32_t reg, std::uint64_t now_us) const {
    std::uint64_t horizon = now_us > kCopyWindowUs ? now_us - kCopyWindowUs : 0;
    if (const std::uint64_t owed = oldest_owed_us(reg); owed != 0)
        horizon = std::min(horizon, owed > kCopyWindowUs ? owed - kCopyWindowUs : 0);
    return horizon;
}

void ReplyHistory::prune(Values& values, std::uint64_t horizon_us) {
    values.since_prune = 0;
    std::erase_if(values.last_taken_us, [horizon_us](const auto& v) { return v.second < horizon_us; });
}

}  // namespace kestrel
