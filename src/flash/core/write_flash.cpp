// The update dialog's Write Flash: the update file loaded with the dialog's messages, then the
// one write engine (write_image) with the dialog's options, its result put as the dialog's
// status texts and boxes.
#include <vector>

#include "flash/core/flash_procedures.h"
#include "flash/core/flash_progress.h"
#include "flash/core/image_write.h"
#include "flash/core/update_image.h"

namespace kestrel {
namespace {

// The whole image programmed page by page (blank pages too), no read-back but the page
// program's own, no resume; progress after every page of the chip; every busy poll of the
// erase wait logged and waited out, whether or not the device answered it.
ImageWriteOptions dialog_options(const std::filesystem::path& log_dir, const FlashRunOptions& run) {
    ImageWriteOptions options;
    options.skip_blank = false;
    options.verify = VerifyScope::None;
    options.resume = false;
    options.progress_whole_chip = true;
    options.chip_pages = run.pages;
    options.erase_wait = {log_dir, false};
    return options;
}

// The file read whole before any register traffic; false after its message box.
bool load_image(const std::string& update_path, std::vector<std::uint8_t>& image,
                FlashReporter& reporter) {
    switch (load_update_image(update_path, image)) {
        case ImageLoad::CantOpen:
            reporter.message_box("Can't open the file");
            return false;
        case ImageLoad::ReadError:
            reporter.message_box("Read updata file error!");
            return false;
        case ImageLoad::Ok:
            break;
    }
    return true;
}

void show_result(ImageWrite outcome, FlashReporter& reporter) {
    constexpr const char* kWriteOver = "Write Over !!! please Read Flash for check!";
    switch (outcome) {
        case ImageWrite::Ok:
            reporter.set_status("Flash write finished!");
            reporter.message_box(kWriteOver);
            return;
        case ImageWrite::WrongChip:
            reporter.message_box("Can't read FLASH chip ID!");
            return;
        case ImageWrite::EraseNotAcknowledged:
            reporter.set_status("Flash write failed!");
            reporter.message_box(kEraseNotAcknowledged);
            return;
        case ImageWrite::EraseTimedOut:
            reporter.message_box("Flash erase error!");
            reporter.set_status("Flash write failed!");
            return;
        case ImageWrite::ProgramFailed:
            reporter.message_box("Flash write one Page error!");
            reporter.set_status("Flash write failed!");
            reporter.message_box(kWriteOver);
            return;
        case ImageWrite::LinkFailed:     // page reads: the dialog's options make none
        case ImageWrite::VerifyDiffers:  // no verify
        case ImageWrite::Stopped:        // nothing asks the dialog's write to stop
            reporter.set_status("Flash write failed!");
            reporter.message_box(kWriteOver);
            return;
    }
}

}  // namespace

void write_flash_from_file(const std::string& update_path, const std::filesystem::path& log_dir,
                           int& erase_wait, FlashReporter& reporter,
                           const FlashRunOptions& options) {
    reporter.set_status("Flash writing...");
    std::vector<std::uint8_t> image;
    if (!load_image(update_path, image, reporter)) return;
    FlashProgress progress;
    FlashJobHooks hooks;
    hooks.progress = [&](FlashStage stage, int done, int) {
        if (stage == FlashStage::Program && done > 0) reporter.set_progress(progress.page_done());
    };
    const ImageWriteResult r = write_image(image, dialog_options(log_dir, options), hooks);
    if (r.erase_busy_polls) erase_wait = *r.erase_busy_polls;
    show_result(r.outcome, reporter);
}

}  // namespace kestrel
