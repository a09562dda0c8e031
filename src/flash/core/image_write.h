// The whole-chip write a command line runs: chip check, erase (or, resuming, a check that the
// chip holds only pages that are right or still blank), program, write disable, read-back
// verify. Unlike the update dialog's write it skips blank pages, stops at safe points when
// asked, and hands back one result that says what the device holds.
//
// Call on the thread that holds the link lock, with the RTP channels closed (run_flash_worker).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "flash/core/flash_job.h"
#include "flash/core/page_io.h"
#include "flash/core/spi_flash.h"

namespace kestrel {

enum class VerifyScope {
    None,        // no read-back
    Programmed,  // the pages this run programmed
    WholeChip,   // all 16384 pages against the image padded with FFh
};

struct ImageWriteOptions {
    // Image pages that are all FFh are left as the erase left them.
    bool skip_blank = true;
    VerifyScope verify = VerifyScope::Programmed;
    // Continue an earlier write without a new erase when every page of the chip is either what
    // the image puts there or still blank; otherwise erase as usual.
    bool resume = false;
    // Where the erase wait's busy polls are logged ("qxrCI.log"); empty: the trace only.
    std::filesystem::path log_dir;
};

enum class ImageWrite {
    Ok,
    WrongChip,             // the chip id is not C2 20 16 (or no chip answers); nothing done
    EraseNotAcknowledged,  // no chip erase the device fully acknowledged; nothing programmed
    EraseTimedOut,         // the chip still busy after 20 busy polls; nothing programmed
    ProgramFailed,         // page bad_page could not be programmed
    LinkFailed,            // a page read (resume check or verify) had no clean read
    VerifyDiffers,         // the read-back differs from the image at bad_address
    Stopped,               // the hooks asked to stop (see device_state)
};

struct ImageWriteResult {
    ImageWrite outcome = ImageWrite::Ok;
    FlashId chip_id{};
    bool erased = false;       // this run erased the chip
    bool resumed = false;      // this run continued without an erase
    int image_pages = 0;       // pages the image covers (the last one padded with FFh)
    int passes = 0;            // chip erases and program passes made (1: a page no program could
                               // mend is mended by erasing its sector instead)
    int sectors_repaired = 0;  // sector erases that mended such a page
    int pages_programmed = 0;  // page programs this run made, over all passes
    int pages_skipped = 0;     // image pages left alone: blank, or already right when resuming
    int pages_verified = 0;    // pages read back and found right
    int pages_done = 0;        // image pages 0 .. pages_done - 1 hold the image
    int bad_page = -1;         // the page a program, read or verify failed at
    PageProgram page_failure = PageProgram::Done;  // ProgramFailed: how page bad_page failed
    long bad_address = -1;                         // VerifyDiffers: the first differing byte
    // What the device holds now, for the user: "unchanged", "erased; pages 0 to 1233
    // programmed; run write --resume", "holds the image", ...
    std::string device_state;
};

// image: at most 4 MiB (longer images are cut to 4 MiB). Traces as the update dialog's write
// does (chip id, " start erase chip ", " erase chip done! ", " start program........ ",
// " program ok! "), and reports progress per stage through hooks.
[[nodiscard]] ImageWriteResult write_image(std::span<const std::uint8_t> image,
                                           const ImageWriteOptions& options,
                                           const FlashJobHooks& hooks);

}  // namespace kestrel
