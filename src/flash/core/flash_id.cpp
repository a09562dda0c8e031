#include "flash/core/flash_id.h"

#include <algorithm>

#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr int kIdReadTries = 8;

}  // namespace

bool no_flash_chip(const FlashId& id) {
    const auto all = [&id](std::uint8_t value) {
        return std::all_of(id.begin(), id.end(), [value](std::uint8_t b) { return b == value; });
    };
    return all(0x00) || all(0xFF);
}

bool check_flash_id() {
    FlashId id{};
    return check_flash_id(id);
}

bool check_flash_id(FlashId& id) {
    id = {};
    for (int attempt = 0; attempt < kIdReadTries; ++attempt) {
        LinkTally tally;
        spi_read_id(id, &tally);
        if (tally.clean() || link_silent_run() >= kDeviceGoneSilentRun) break;
    }
    trace("***************************ID*****************************");
    tracef("ID date0: %x, date1: %x,date2: %x", id[0], id[1], id[2]);
    trace("***************************ID****************************");
    if (id == kExpectedFlashId) return true;
    if (no_flash_chip(id)) {
        tracef("No flash chip answers: ID %02X %02X %02X", id[0], id[1], id[2]);
    } else {
        tracef("Unexpected flash chip ID %02X %02X %02X, expected %02X %02X %02X", id[0], id[1],
               id[2], kExpectedFlashId[0], kExpectedFlashId[1], kExpectedFlashId[2]);
    }
    return false;
}

}  // namespace kestrel
