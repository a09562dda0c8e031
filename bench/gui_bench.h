// A full flash read driven through the update dialog, offscreen.
#pragma once

#include <cstdint>
#include <filesystem>

#include "flash_bench.h"

namespace kestrel::bench {

// Read Flash pressed in CUpdateFWDlg until its worker has finished (all 16384 pages of the
// image's folder), with the dialog's thread serving every status and progress update. ok when
// the read ended with "Flash read finished!".
FlashRun run_gui_read(int& argc, char** argv, std::uint16_t device_port,
                      const std::filesystem::path& image);

// Write Flash (its 3 s timer, the erase and the programming), then Read Flash, then Verify,
// pressed in CUpdateFWDlg as a user updates a device and checks the result. fixed_wait_s holds
// the timer and the write's sleeps; ok when Verify showed "Verify OK !!!!".
FlashRun run_gui_update(int& argc, char** argv, std::uint16_t device_port,
                        const std::filesystem::path& image);

}  // namespace kestrel::bench
