#include "flash/core/erase_wait.h"

#include "flash/core/flash_log.h"
#include "flash/core/spi_flash.h"
#include "platform/sleep.h"

namespace kestrel {

void wait_for_erase(const std::filesystem::path& log_dir, int& erase_wait) {
    for (;;) {
        std::uint8_t status = 0;
        const bool trusted = spi_read_status(status);
        if (trusted && (status & kStatusBusy) == 0) return;
        write_log(log_dir, "read status register0  %x\n", status);
        sleep_ms(kErasePollSleepMs);
        if (++erase_wait >= kEraseWaitLimit) return;
        sleep_ms(kEraseRepollSleepMs);
    }
}

}  // namespace kestrel
