#include "link/window_size.h"

#include <algorithm>

namespace kestrel {

void WindowSize::clean_step(std::size_t cap) {
    if (size_ >= ceiling_ && ++clean_at_ceiling_ >= kWindowRetryRuns) {
        ceiling_ = SIZE_MAX;
        clean_at_ceiling_ = 0;
    }
    size_ = std::min({size_ + 1, cap, ceiling_});
}

void WindowSize::after(const WindowOutcome& run) {
    const std::size_t cap =
        setting_.adaptive ? kAutoWindowCap : std::max<std::size_t>(setting_.size, 1);
    const std::size_t steps = run.answered / kWindowStepReplies;
    for (std::size_t i = 0; i < steps; ++i)
        clean_step(cap);
    if (!run.broken) {
        if (steps == 0) clean_step(cap);
        return;
    }
    if (run.lost == 0) return;
    const bool again_there = run.first_lost == last_lost_at_;
    last_lost_at_ = run.first_lost;
    if (run.lost_in_a_row >= 2 || run.lost_at_tail || again_there) {
        ceiling_ = std::max<std::size_t>(size_ - 1, 1);
        clean_at_ceiling_ = 0;
        size_ = std::max<std::size_t>(size_ / 2, 1);
        last_lost_at_ = SIZE_MAX;
    }
}

}  // namespace kestrel
