#include "flash/core/chip_pages.h"

#include <algorithm>

#include "flash/core/page_io.h"
#include "flash/core/page_prefetch.h"
#include "flash/core/page_read.h"

namespace kestrel {

const char* flash_stage_name(FlashStage stage) {
    switch (stage) {
        case FlashStage::Erase:
            return "erase";
        case FlashStage::Program:
            return "program";
        case FlashStage::Verify:
            return "verify";
        case FlashStage::Read:
            return "read";
    }
    return "?";
}

PagesReadResult read_pages(int first, int count, std::span<std::uint8_t> dest, FlashStage stage,
                           const FlashJobHooks& hooks) {
    PagesReadResult result;
    hooks.report(stage, 0, count);
    PagePrefetch prefetch;
    for (int i = 0; i < count; ++i) {
        if (hooks.should_stop()) {
            result.outcome = PagesRead::Stopped;
            result.failed_page = first + i;
            return result;
        }
        const auto at = static_cast<std::size_t>(i) * kPageSize;
        std::span<std::uint8_t, kPageSize> page(dest.data() + at, kPageSize);
        if (!read_page_checked(static_cast<std::uint32_t>(first + i) * kPageSize, page,
                               prefetch.ahead(first + i, first + count))) {
            result.outcome = PagesRead::LinkFailed;
            result.failed_page = first + i;
            return result;
        }
        result.pages_read = i + 1;
        hooks.report(stage, i + 1, count);
    }
    return result;
}

std::uint8_t expected_flash_byte(std::span<const std::uint8_t> image, std::size_t address) {
    return address < image.size() && address < kFlashSize ? image[address] : 0xFF;
}

FlashPage expected_page(std::span<const std::uint8_t> image, int k) {
    FlashPage page;
    const std::size_t begin = static_cast<std::size_t>(k) * kPageSize;
    for (std::size_t i = 0; i < kPageSize; ++i)
        page[i] = expected_flash_byte(image, begin + i);
    return page;
}

FlashPage erased_page() {
    FlashPage page{};
    page.fill(0xFF);
    return page;
}

bool blank_page(std::span<const std::uint8_t, kPageSize> page) {
    return std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0xFF; });
}

long first_difference(std::span<const std::uint8_t> image, std::size_t begin,
                      std::span<const std::uint8_t> actual) {
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected_flash_byte(image, begin + i)) return static_cast<long>(begin + i);
    }
    return -1;
}

}  // namespace kestrel
