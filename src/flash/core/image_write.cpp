#include "flash/core/image_write.h"

#include <algorithm>

#include "flash/core/flash_id.h"
#include "flash/core/image_write_job.h"
#include "flash/core/write_disable.h"
#include "platform/trace.h"

namespace kestrel {
namespace engine {

std::string programmed_state(int pages_done, const std::string& then) {
    std::string state = "erased; ";
    state += pages_done == 0 ? std::string("nothing programmed")
                             : "pages 0 to " + std::to_string(pages_done - 1) + " programmed";
    return state + "; " + then;
}

Job::Job(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
         const FlashJobHooks& hooks)
    : chip_pages_(std::clamp(options.chip_pages, 0, kFlashPages)),
      image_(
          image.first(std::min(image.size(), static_cast<std::size_t>(chip_pages_) * kPageSize))),
      options_(options),
      hooks_(hooks) {
    result_.image_pages = static_cast<int>((image_.size() + kPageSize - 1) / kPageSize);
    need_.assign(static_cast<std::size_t>(result_.image_pages), true);
}

ImageWriteResult Job::run() {
    result_.device_state = "unchanged";
    if (const ImageWrite id = identify(); id != ImageWrite::Ok) return end(id);
    if (hooks_.should_stop()) return end(ImageWrite::Stopped);
    if (!(options_.resume && resumable())) {
        if (result_.outcome != ImageWrite::Ok) return result_;
        const ImageWrite erased = erase();
        if (erased != ImageWrite::Ok) return end(erased);
    }
    result_.passes = 1;
    ImageWrite outcome = program();
    disable_writes();
    if (outcome == ImageWrite::Ok) {
        const int repaired = result_.sectors_repaired;
        outcome = verify();
        if (result_.sectors_repaired != repaired) disable_writes();
    }
    if (outcome != ImageWrite::Ok) return end(outcome);
    result_.device_state = "holds the image";
    return result_;
}

// A chip busy with an erase ignores Read Identification and reads as no chip at all. A resumed
// write, which may follow an interrupted one, then waits for the chip as after an erase and
// reads its id again.
ImageWrite Job::identify() {
    if (check_flash_id(result_.chip_id)) return ImageWrite::Ok;
    if (!options_.resume || !no_flash_chip(result_.chip_id)) return ImageWrite::WrongChip;
    std::uint8_t status = 0;
    if (!spi_read_status(status) || (status & kStatusBusy) == 0) return ImageWrite::WrongChip;
    trace(" resume: the chip is busy, waiting for it before reading its id again ");
    if (const ImageWrite ready = wait_ready_for_resume(); ready != ImageWrite::Ok) return ready;
    return check_flash_id(result_.chip_id) ? ImageWrite::Ok : ImageWrite::WrongChip;
}

ImageWriteResult Job::end(ImageWrite outcome) {
    result_.outcome = outcome;
    return result_;
}

void Job::disable_writes() {
    result_.writes_disabled = write_disable();
}

// Programs the image's pages in ascending order; with progress_whole_chip the pages past the
// image are counted too, left as the erase left them.
ImageWrite Job::program() {
    trace(" start program........ ");
    const int pages = options_.progress_whole_chip ? chip_pages_ : result_.image_pages;
    hooks_.report(FlashStage::Program, 0, pages);
    for (int k = 0; k < pages; ++k) {
        if (hooks_.should_stop()) {
            result_.device_state = programmed_state(result_.pages_done, "run write --resume");
            return ImageWrite::Stopped;
        }
        if (k < result_.image_pages) {
            const ImageWrite page = program_page(k);
            if (page != ImageWrite::Ok) return page;
            result_.pages_done = k + 1;
        }
        hooks_.report(FlashStage::Program, k + 1, pages);
    }
    trace(" program ok! ");
    result_.device_state = programmed_state(result_.image_pages, "not verified yet");
    return ImageWrite::Ok;
}

// Image page k: skipped (blank, or already right when resuming), or write enable and a checked
// program, a page no program can mend being mended by erasing its sector.
ImageWrite Job::program_page(int k) {
    const FlashPage page = expected_page(image_, k);
    if (!need_[static_cast<std::size_t>(k)] || (options_.skip_blank && blank_page(page))) {
        ++result_.pages_skipped;
        return ImageWrite::Ok;
    }
    PageProgram programmed = program_whole_or_pieces(k, page, erased_page(), check());
    if (programmed == PageProgram::ReadBackDiffers) programmed = repair(k, k);
    if (programmed != PageProgram::Done) {
        result_.bad_page = k;
        result_.page_failure = programmed;
        result_.device_state =
            programmed_state(k, "page " + std::to_string(k) + " failed; run write --resume");
        trace(" program failed! ");
        return ImageWrite::ProgramFailed;
    }
    ++result_.pages_programmed;
    programmed_.push_back(k);
    return ImageWrite::Ok;
}

}  // namespace engine

ImageWriteResult write_image(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
                             const FlashJobHooks& hooks) {
    return engine::Job(image, options, hooks).run();
}

}  // namespace kestrel
