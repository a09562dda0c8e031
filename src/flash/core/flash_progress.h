// The progress arithmetic of read and write: 25600 (100 x 256) added per page to an unsigned
// 32-bit accumulator, the position being the accumulator shifted right by 22, which is
// floor(pages done x 100 / 16384).
#pragma once

#include <cstdint>

namespace kestrel {

class FlashProgress {
  public:
    // Counts one page done and returns the position to show.
    int page_done() {
        accumulator_ += kPerPage;
        return static_cast<int>(accumulator_ >> kShift);
    }

  private:
    static constexpr std::uint32_t kPerPage = 25600;
    static constexpr int kShift = 22;
    std::uint32_t accumulator_ = 0;
};

}  // namespace kestrel
