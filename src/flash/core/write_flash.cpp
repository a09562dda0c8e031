#include <algorithm>
#include <array>
#include <vector>

#include "flash/core/chip_erase.h"
#include "flash/core/chip_pages.h"
#include "flash/core/erase_wait.h"
#include "flash/core/flash_id.h"
#include "flash/core/flash_procedures.h"
#include "flash/core/flash_progress.h"
#include "flash/core/page_io.h"
#include "flash/core/sector_repair.h"
#include "flash/core/spi_flash.h"
#include "flash/core/update_image.h"
#include "flash/core/write_disable.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

void write_disable_quietly() {
    (void)write_disable();
}

// Page k of the image, padded with FFh past the image's end.
std::array<std::uint8_t, kPageSize> image_page(const std::vector<std::uint8_t>& image,
                                               std::size_t k) {
    return expected_page(image, static_cast<int>(k));
}

// The chip erase and the wait for it. False, with the status "Flash write failed!", the write
// disabled and the message given, when the erase was not acknowledged or never finished.
bool erase_and_wait(const std::filesystem::path& log_dir, int& erase_wait,
                    FlashReporter& reporter) {
    trace(" start erase chip ");
    erase_wait = 0;
    if (start_chip_erase() != EraseStart::Started) {
        // Programming over a chip that may not be erased could only end in a wrong image
        // reported as written.
        trace(" erase chip not acknowledged, nothing programmed ");
        reporter.set_status("Flash write failed!");
        write_disable_quietly();
        reporter.message_box(kEraseNotAcknowledged);
        return false;
    }
    (void)wait_for_erase({log_dir, false}, FlashJobHooks{}, erase_wait);
    if (erase_wait >= kEraseWaitLimit) {
        // Pages programmed into a chip that never finished its erase could not be trusted.
        reporter.message_box("Flash erase error!");
        trace(" erase chip not done, nothing programmed ");
        reporter.set_status("Flash write failed!");
        write_disable_quietly();
        return false;
    }
    trace(" erase chip done! ");
    return true;
}

// Programs pages 0 .. pages - 1 (those past the image are left erased), reporting progress.
// Done, or how the first page that failed did.
PageProgram program_pages(const std::vector<std::uint8_t>& image, std::size_t image_pages,
                          int pages, FlashReporter& reporter) {
    FlashProgress progress;
    for (int k = 0; k < pages; ++k) {
        const auto index = static_cast<std::size_t>(k);
        if (index < image_pages) {
            spi_write_enable();
            const auto page = image_page(image, index);
            PageProgram result =
                program_page_checked(static_cast<std::uint32_t>(index * kPageSize), page);
            // A page that holds bits no program can set again (its load lost or doubled a word
            // where the link could not see it) is mended by erasing its sector.
            for (int repairs = 0;
                 result == PageProgram::ReadBackDiffers && repairs < kSectorRepairs; ++repairs)
                result = repair_sector(k, k, image);
            if (result != PageProgram::Done) return result;
        }
        reporter.set_progress(progress.page_done());
    }
    return PageProgram::Done;
}

}  // namespace

void write_flash_from_file(const std::string& update_path, const std::filesystem::path& log_dir,
                           int& erase_wait, FlashReporter& reporter,
                           const FlashRunOptions& options) {
    reporter.set_status("Flash writing...");
    std::vector<std::uint8_t> image;
    switch (load_update_image(update_path, image)) {
        case ImageLoad::CantOpen:
            reporter.message_box("Can't open the file");
            return;
        case ImageLoad::ReadError:
            reporter.message_box("Read updata file error!");
            return;
        case ImageLoad::Ok:
            break;
    }
    if (!check_flash_id()) {
        reporter.message_box("Can't read FLASH chip ID!");
        return;
    }
    spi_set_access_bit();
    const std::size_t image_pages = (image.size() + kPageSize - 1) / kPageSize;
    if (!erase_and_wait(log_dir, erase_wait, reporter)) return;
    trace(" start program........ ");
    const bool failed =
        program_pages(image, image_pages, options.pages, reporter) != PageProgram::Done;
    if (failed) reporter.message_box("Flash write one Page error!");
    trace(failed ? " program failed! " : " program ok! ");
    reporter.set_status(failed ? "Flash write failed!" : "Flash write finished!");
    write_disable_quietly();
    reporter.message_box("Write Over !!! please Read Flash for check!");
}

}  // namespace kestrel
