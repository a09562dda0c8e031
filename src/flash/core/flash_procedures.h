// The three procedures behind Read Flash, Write Flash and Verify. Read and write run on a
// flash worker (see run_flash_worker), which holds the link lock; verify sends no register
// traffic and runs on the caller's thread. All three report only through the FlashReporter and
// the trace; none throws.
#pragma once

#include <filesystem>
#include <string>

#include "flash/core/erase_wait.h"
#include "flash/core/flash_reporter.h"
#include "protocol/spi_regs.h"

namespace kestrel {

inline constexpr const char* kDumpFileName = "flash.bin";
inline constexpr const char* kEraseNotAcknowledged =
    "Chip erase not acknowledged, nothing programmed! Check the link and write again.";

// The tool always covers the whole chip; tests pass fewer pages to keep faulty runs short.
struct FlashRunOptions {
    int pages = kFlashPages;
};

// Dumps the flash into dump_dir/"flash.bin": chip-id check, "Flash reading...", every page in
// ascending order with a progress update after each, "Flash read finished!". The last dump is
// first renamed "flash.bin.old"; the new one is written under a temporary name (AtomicFile) and
// renamed "flash.bin" only when complete, so a failed run leaves no "flash.bin". Failures end the
// run with a message box: "Open file failed!" (the file cannot be created), "Can't read flash chip
// ID!", "Flash read one Page error!" (a chunk of a page still not acknowledged after
// kChunkReadTries tries, see read_page_checked) and "Write file failed!" (writing, syncing or
// renaming the dump).
void read_flash_to_file(const std::filesystem::path& dump_dir, FlashReporter& reporter,
                        const FlashRunOptions& options = {});

// Programs the flash from the update file: "Flash writing...", the file read whole (at most
// its first 4 MiB) before any register traffic ("Can't open the file" / "Read updata file
// error!" then end with the device untouched), then the write engine (write_image) without
// blank skipping, verify or resume: chip-id check ("Can't read FLASH chip ID!"), access bit,
// chip erase, the erase wait (busy polls counted into erase_wait, which is set to 0 as the
// erase starts; one log line in log_dir/qxrCI.log per busy poll, 1000 ms + 3000 ms sleeps;
// "Flash erase error!", "Flash write failed!" and nothing programmed after 20), then the pages
// the file covers (the last one padded with FFh; the rest stay erased) with a progress update
// after every page of the chip, write disable, "Flash write finished!" and "Write Over !!!
// please Read Flash for check!". A page that fails ends the programming; after the write
// disable come "Flash write one Page error!", "Flash write failed!" and the "Write Over" box. A
// chip erase the device never fully acknowledged (kChipEraseTries tries) ends the run before any
// page: write disable, "Flash write failed!" and the kEraseNotAcknowledged box.
void write_flash_from_file(const std::string& update_path, const std::filesystem::path& log_dir,
                           int& erase_wait, FlashReporter& reporter,
                           const FlashRunOptions& options = {});

// Compares the update file with the first bytes of dump_dir/"flash.bin": "Verify OK !!!!" when
// every byte of the update file matches, else "Verify error!!!!". A missing or unreadable
// file, an empty update file or a "flash.bin" shorter than the update file also give
// "Verify error!!!!", with a trace line that says why; no byte that was not read is compared.
void verify_flash_file(const std::string& update_path, const std::filesystem::path& dump_dir,
                       FlashReporter& reporter);

}  // namespace kestrel
