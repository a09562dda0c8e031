#include "flash/core/chip_erase.h"

#include <cstdint>

#include "flash/core/erase_wait.h"
#include "flash/core/flash_timing.h"
#include "flash/core/spi_flash.h"
#include "link/reply_wait.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr int kStatusReadTries = 3;

enum class ChipStatus { Ready, Busy, Unknown };

// One status, read again while a read is not acknowledged.
ChipStatus read_status() {
    for (int attempt = 0; attempt < kStatusReadTries; ++attempt) {
        std::uint8_t status = 0;
        if (spi_read_status(status))
            return (status & kStatusBusy) != 0 ? ChipStatus::Busy : ChipStatus::Ready;
    }
    return ChipStatus::Unknown;
}

// True once a status read proves the chip ready; a chip reading busy is waited for.
bool ready_before() {
    for (int poll = 0; poll < kEraseWaitLimit; ++poll) {
        const ChipStatus status = read_status();
        if (status != ChipStatus::Busy) return status == ChipStatus::Ready;
        trace("chip erase: the chip is busy before it, waiting");
        sleep_ms(kErasePollSleepMs);
    }
    return false;
}

}  // namespace

EraseStart start_chip_erase() {
    // A handful of exchanges that decide whether a write goes on: each waits the full 50 ms, so
    // that a reply a busy host is slow to see does not end the write as not erased.
    const FullReplyWait full;
    const bool was_ready = ready_before();
    for (int attempt = 1; attempt <= kChipEraseTries; ++attempt) {
        LinkTally tally;
        spi_chip_erase_send(&tally);
        if (tally.clean()) {
            sleep_ms(kEraseSleepMs);
            return EraseStart::Started;
        }
        if (was_ready && read_status() == ChipStatus::Busy) {
            tracef("chip erase: %d exchanges not acknowledged, but the chip reads busy: erasing",
                   tally.unacknowledged);
            sleep_ms(kEraseSleepMs);
            return EraseStart::Started;
        }
        tracef("chip erase: %d exchanges not acknowledged (try %d of %d)", tally.unacknowledged,
               attempt, kChipEraseTries);
    }
    return EraseStart::NotTaken;
}

}  // namespace kestrel
