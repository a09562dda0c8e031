// The size of the window of requests in flight, adapted to what runs of it showed. Owned by the
// link state, under the link lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/window_setting.h"

namespace kestrel {

// What one run of a window showed about the device's pace.
struct WindowOutcome {
    bool broken = false;         // the replies did not all come, in order, acknowledged
    int lost = 0;                // replies that never came before the link was in step again
    bool lost_at_tail = false;   // among them the reply of the last request sent
    std::size_t first_lost = 0;  // the run's first request without a reply (when lost > 0)
    std::size_t answered = 0;    // leading requests whose replies came in order
    int lost_in_a_row = 0;       // the longest run of requests in a row without a reply
    int extras = 0;              // datagrams that fit no request still without a reply
};

// Replies taken in order that count as one clean run, so that long runs (pages read ahead)
// grow the window as a page's run would.
inline constexpr std::size_t kWindowStepReplies = 64;

// Clean runs at the size below one that overflowed before that size is tried again.
inline constexpr int kWindowRetryRuns = 64;

class WindowSize {
  public:
    WindowSize() = default;
    explicit WindowSize(WindowSetting setting)
        : setting_(setting), size_(setting.size < 1 ? 1 : setting.size) {}

    [[nodiscard]] std::size_t now() const { return size_; }
    [[nodiscard]] const WindowSetting& setting() const { return setting_; }

    // The window halves (to no less than one) when losses look like a receive queue
    // overflowing: two or more requests in a row lost, the last request sent lost, or a loss
    // at the same place of the run as in the run before. Scattered losses, which any link
    // makes now and then (several in one run of a large window), leave it as it is. It grows by one
    // after each clean run, and for every kWindowStepReplies replies a run (broken or not) took in
    // order, up to the size set (fixed) or kAutoWindowCap (adaptive), but after halving not again
    // to the size that overflowed until kWindowRetryRuns clean runs have passed.
    void after(const WindowOutcome& run);

  private:
    void clean_step(std::size_t cap);

    WindowSetting setting_;
    std::size_t size_ = 1;
    std::size_t last_lost_at_ = SIZE_MAX;  // where the last run with a loss lost first
    std::size_t ceiling_ = SIZE_MAX;       // below the size that overflowed last
    int clean_at_ceiling_ = 0;
};

}  // namespace kestrel
