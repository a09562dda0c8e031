#include "flash/core/write_disable.h"

#include "flash/core/spi_flash.h"
#include "platform/trace.h"

namespace kestrel {

bool write_disable() {
    for (int attempt = 0; attempt < kWriteDisableTries; ++attempt) {
        LinkTally tally;
        spi_write_disable(&tally);
        if (tally.clean()) return true;
    }
    trace("write disable not acknowledged");
    return false;
}

}  // namespace kestrel
