// A full flash read driven through the update dialog, offscreen.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kestrel::bench {

// Seconds for Read Flash pressed in CUpdateFWDlg until its worker has finished (all 16384
// pages), with the dialog's thread serving every status and progress update. Negative when the
// read did not finish with "Flash read finished!".
double run_gui_read(int& argc, char** argv, std::uint16_t device_port,
                    const std::filesystem::path& dir);

}  // namespace kestrel::bench
