// The wait for the end of a chip erase, after spi_chip_erase's own 13000 ms pause.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kestrel {

inline constexpr int kEraseWaitLimit = 20;
inline constexpr std::uint32_t kErasePollSleepMs = 1000;
inline constexpr std::uint32_t kEraseRepollSleepMs = 3000;

// Reads the status until the chip is ready. Each busy poll writes the log line
// "read status register0  %x\n" (to log_dir/qxrCI.log), sleeps 1000 ms, counts itself in
// erase_wait, and ends the wait at 20; otherwise sleeps 3000 ms and polls again. A poll the
// device did not fully acknowledge counts as busy. The caller sets erase_wait to 0 first.
void wait_for_erase(const std::filesystem::path& log_dir, int& erase_wait);

}  // namespace kestrel
