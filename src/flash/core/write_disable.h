// Closing a write: the Write Disable every write job sends once it has programmed or given up.
// Call on the flash worker, which holds the link lock.
#pragma once

namespace kestrel {

inline constexpr int kWriteDisableTries = 3;

// Sends Write Disable (SPI_CMD 04h, SPI_CTRL E0h 10h), again while the device has not
// acknowledged both exchanges, at most kWriteDisableTries times. True when one try was
// acknowledged in full; otherwise traces "write disable not acknowledged" and gives false. The
// chip then keeps its write enable latch until its next power cycle or instruction, which is
// all a caller could learn: the jobs go on to their end either way.
[[nodiscard]] bool write_disable();

}  // namespace kestrel
