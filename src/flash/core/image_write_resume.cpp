// The resume check of a write job: whether the chip already holds only pages that are right or
// still blank, so that the write can go on without a new erase.
#include "flash/core/image_write_job.h"
#include "platform/trace.h"

namespace kestrel::engine {
namespace {

constexpr const char* kUnchangedResume = "unchanged; run write --resume";

}  // namespace

bool Job::resumable() {
    if (const ImageWrite ready = wait_ready_for_resume(); ready != ImageWrite::Ok) {
        result_.outcome = ready;
        return false;
    }
    trace(" resume: checking the chip ");
    FlashPage page{};
    hooks_.report(FlashStage::Read, 0, chip_pages_);
    for (int k = 0; k < chip_pages_; ++k) {
        if (hooks_.should_stop()) {
            result_.outcome = ImageWrite::Stopped;
            result_.device_state = kUnchangedResume;
            return false;
        }
        if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page)) {
            result_.outcome = ImageWrite::LinkFailed;
            result_.device_state = kUnchangedResume;
            result_.bad_page = k;
            return false;
        }
        hooks_.report(FlashStage::Read, k + 1, chip_pages_);
        if (page == expected_page(image_, k)) {
            if (k < result_.image_pages) need_[static_cast<std::size_t>(k)] = false;
            continue;
        }
        if (!blank_page(page)) {
            tracef(" resume: page %d holds neither the image nor blank bytes, erasing ", k);
            need_.assign(need_.size(), true);
            return false;
        }
    }
    result_.resumed = true;
    trace(" resume: every page is right or blank ");
    return true;
}

// A chip still busy from an interrupted erase is waited for like after an erase. A wait that
// ends any other way than ready ends the job: a stop asked for is a stop, and a chip that stays
// busy, or a device gone silent, would take no erase either.
ImageWrite Job::wait_ready_for_resume() {
    std::uint8_t status = 0;
    if (spi_read_status(status) && (status & kStatusBusy) == 0) return ImageWrite::Ok;
    int busy_polls = 0;
    return wait_erased(busy_polls);
}

}  // namespace kestrel::engine
