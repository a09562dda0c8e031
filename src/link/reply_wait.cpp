#include "link/reply_wait.h"

#include <algorithm>
#include <atomic>

namespace kestrel {
namespace {

constexpr int kMaxBackoff = 4;  // 4 ms doubled four times passes 50 ms
std::atomic<std::uint32_t> g_floor_us{kMinWaitUs};
std::atomic<std::uint32_t> g_nudge_floor_us{kMinNudgeUs};
std::atomic<bool> g_nudges{true};
thread_local int t_full_waits = 0;

}  // namespace

FullReplyWait::FullReplyWait() {
    ++t_full_waits;
}

FullReplyWait::~FullReplyWait() {
    --t_full_waits;
}

bool full_reply_wait() {
    return t_full_waits > 0;
}

std::uint32_t set_reply_wait_floor_us(std::uint32_t us) {
    return g_floor_us.exchange(std::min(us, kMaxWaitUs));
}

std::uint32_t set_reply_nudge_floor_us(std::uint32_t us) {
    return g_nudge_floor_us.exchange(std::min(us, kMaxWaitUs));
}

bool set_reply_nudges(bool on) {
    return g_nudges.exchange(on);
}

bool reply_nudges() {
    return g_nudges.load(std::memory_order_relaxed);
}

std::uint64_t ReplyWait::estimate_us() const {
    const std::uint64_t estimate = std::uint64_t{srtt_us_} + 4u * std::uint64_t{rttvar_us_};
    const std::uint32_t peak = *std::max_element(peaks_.begin(), peaks_.end());
    return std::max<std::uint64_t>(estimate, std::uint64_t{peak} * 5 / 4);
}

std::uint32_t ReplyWait::nudge_us() const {
    if (!measured_) return 0;
    const std::uint32_t floor = g_nudge_floor_us.load(std::memory_order_relaxed);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(estimate_us(), floor, kMaxWaitUs));
}

std::uint32_t ReplyWait::wait_us() const {
    if (!measured_) return kFirstWaitUs;
    const std::uint64_t with_peak = estimate_us();
    const std::uint64_t base = std::clamp<std::uint64_t>(
        with_peak, g_floor_us.load(std::memory_order_relaxed), kMaxWaitUs);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(base << backoff_, kMaxWaitUs));
}

void ReplyWait::measured(std::uint32_t rtt_us) {
    if (!measured_) {
        measured_ = true;
        srtt_us_ = rtt_us;
        rttvar_us_ = rtt_us / 2;
    } else {
        const std::uint32_t delta = srtt_us_ > rtt_us ? srtt_us_ - rtt_us : rtt_us - srtt_us_;
        rttvar_us_ = (3 * rttvar_us_ + delta) / 4;
        srtt_us_ = (7 * srtt_us_ + rtt_us) / 8;
    }
    backoff_ = 0;
    if (in_block_ == kPeakBlockSize) {
        peak_block_ = (peak_block_ + 1) % kPeakBlocks;
        peaks_[static_cast<std::size_t>(peak_block_)] = 0;
        in_block_ = 0;
    }
    std::uint32_t& peak = peaks_[static_cast<std::size_t>(peak_block_)];
    peak = std::max(peak, rtt_us);
    ++in_block_;
}

void ReplyWait::came_late(std::uint64_t rtt_us) {
    std::uint32_t& peak = peaks_[static_cast<std::size_t>(peak_block_)];
    peak = std::max(peak, static_cast<std::uint32_t>(std::min<std::uint64_t>(rtt_us, kMaxWaitUs)));
}

void ReplyWait::timed_out() {
    if (measured_ && backoff_ < kMaxBackoff) ++backoff_;
}

}  // namespace kestrel
