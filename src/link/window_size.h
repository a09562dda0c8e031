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
};

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
    // overflowing: several in one run, the last request sent lost, or a loss at the same place
    // of the run as in the run before. One loss alone, which any link makes now and then,
    // leaves it as it is. It grows by one after each clean run, up to the size set (fixed) or
    // kAutoWindowCap (adaptive), but after halving not again to the size that overflowed
    // until kWindowRetryRuns clean runs have passed.
    void after(const WindowOutcome& run);

  private:
    WindowSetting setting_;
    std::size_t size_ = 1;
    std::size_t last_lost_at_ = SIZE_MAX;  // where the last run with a loss lost first
    std::size_t ceiling_ = SIZE_MAX;       // below the size that overflowed last
    int clean_at_ceiling_ = 0;
};

}  // namespace kestrel
