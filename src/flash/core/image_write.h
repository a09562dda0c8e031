// The one write engine of the tool: chip check, erase (or, resuming, a check that the chip
// holds only pages that are right or still blank), program, write disable, read-back verify.
// The command line runs it with blank skipping and verify; the update dialog's Write Flash runs
// it with both off and maps its result to its own boxes (write_flash_from_file). It hands back
// one result that says what the device holds.
//
// Call on the thread that holds the link lock, with the RTP channels closed (run_flash_worker).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "flash/core/erase_wait.h"
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
    // The program stage counts every page of the chip (pages past the image stay erased, but
    // each still reports progress), not only the image's pages.
    bool progress_whole_chip = false;
    // The pages of the chip the job covers, from page 0; the image is cut to them. Always
    // kFlashPages but in tests, which pass fewer to keep a run short.
    int chip_pages = kFlashPages;
    // Where the erase wait's busy polls are logged and whether a silent device ends it.
    EraseWaitRules erase_wait;
};

enum class ImageWrite {
    Ok,
    WrongChip,             // the chip id is not C2 20 16 (or no chip answers); nothing done
    EraseNotAcknowledged,  // no chip erase the device fully acknowledged; nothing programmed
    EraseTimedOut,         // the chip still busy after 20 busy polls, or the device went silent
                           // during the wait; nothing programmed
    ProgramFailed,         // page bad_page could not be programmed
    LinkFailed,            // a page read (resume check or verify) had no clean read
    VerifyDiffers,         // the read-back differs from the image at bad_address
    Stopped,               // the hooks asked to stop (see device_state)
};

struct ImageWriteResult {
    ImageWrite outcome = ImageWrite::Ok;
    FlashId chip_id{};
    bool erased = false;   // this run erased the chip
    bool resumed = false;  // this run continued without an erase
    // Busy status polls of the erase wait; empty when the run reached no chip erase.
    std::optional<int> erase_busy_polls;
    bool writes_disabled = false;  // the closing Write Disable was acknowledged
    int image_pages = 0;           // pages the image covers (the last one padded with FFh)
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

// image: at most 4 MiB (longer images are cut to 4 MiB, and to options.chip_pages). Traces the
// chip id, " start erase chip ", " erase chip done! " (or " erase chip not acknowledged,
// nothing programmed " / " erase chip not done, nothing programmed "), " start program........ "
// and " program ok! " (or " program failed! "), and reports progress per stage through hooks.
[[nodiscard]] ImageWriteResult write_image(std::span<const std::uint8_t> image,
                                           const ImageWriteOptions& options,
                                           const FlashJobHooks& hooks);

}  // namespace kestrel
