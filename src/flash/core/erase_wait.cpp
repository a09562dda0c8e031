#include "flash/core/erase_wait.h"

#include <cstdio>

#include "flash/core/flash_log.h"
#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

void log_busy_poll(const std::filesystem::path& log_dir, std::uint8_t status) {
    char line[40];
    std::snprintf(line, sizeof line, "read status register0  %x\n", status);
    if (log_dir.empty()) {
        trace(line);
    } else {
        write_log(log_dir, "%s", line);
    }
}

}  // namespace

EraseWaitEnd wait_for_erase(const EraseWaitRules& rules, const FlashJobHooks& hooks,
                            int& busy_polls) {
    for (int quick = 0;;) {
        std::uint8_t status = 0;
        if (spi_read_status(status) && (status & kStatusBusy) == 0) return EraseWaitEnd::Ready;
        if (rules.device_gone_ends_wait) {
            if (link_silent_run() >= kDeviceGoneSilentRun) return EraseWaitEnd::DeviceGone;
            if (link_silent_run() > 0 && ++quick <= kDeviceGoneSilentRun) continue;
        }
        log_busy_poll(rules.log_dir, status);
        sleep_ms(kErasePollSleepMs);
        if (++busy_polls >= kEraseWaitLimit) return EraseWaitEnd::StillBusy;
        if (hooks.must_stop_now()) return EraseWaitEnd::Stopped;
        sleep_ms(kEraseRepollSleepMs);
        if (hooks.must_stop_now()) return EraseWaitEnd::Stopped;
    }
}

}  // namespace kestrel
