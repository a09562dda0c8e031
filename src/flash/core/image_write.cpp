#include "flash/core/image_write.h"

#include <algorithm>
#include <array>
#include <vector>

#include "flash/core/chip_pages.h"
#include "flash/core/erase_wait.h"
#include "flash/core/flash_id.h"
#include "flash/core/flash_log.h"
#include "flash/core/page_io.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr int kEraseTries = 3;
constexpr int kWriteDisableTries = 3;
constexpr int kEraseSeconds = static_cast<int>(kEraseSleepMs / 1000);

using Page = std::array<std::uint8_t, kPageSize>;

Page expected_page(std::span<const std::uint8_t> image, int k) {
    Page page;
    for (std::size_t i = 0; i < kPageSize; ++i)
        page[i] = expected_flash_byte(image, static_cast<std::size_t>(k) * kPageSize + i);
    return page;
}

bool blank(const Page& page) {
    return std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0xFF; });
}

void write_disable() {
    for (int attempt = 0; attempt < kWriteDisableTries; ++attempt) {
        LinkTally tally;
        spi_write_disable(&tally);
        if (tally.clean()) return;
    }
    trace("write disable not acknowledged");
}

std::string programmed_state(int pages_done, const char* then) {
    std::string state = "erased; ";
    state += pages_done == 0 ? std::string("nothing programmed")
                             : "pages 0 to " + std::to_string(pages_done - 1) + " programmed";
    return state + "; " + then;
}

class Job {
  public:
    Job(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
        const FlashJobHooks& hooks)
        : image_(image.first(std::min(image.size(), kFlashSize))), options_(options),
          hooks_(hooks) {
        result_.image_pages = static_cast<int>((image_.size() + kPageSize - 1) / kPageSize);
        need_.assign(static_cast<std::size_t>(result_.image_pages), true);
    }

    ImageWriteResult run() {
        result_.device_state = "unchanged";
        if (!check_flash_id(result_.chip_id)) return end(ImageWrite::WrongChip);
        if (hooks_.should_stop()) return end(ImageWrite::Stopped);
        if (!(options_.resume && resumable())) {
            if (result_.outcome != ImageWrite::Ok) return result_;
            const ImageWrite erased = erase();
            if (erased != ImageWrite::Ok) return end(erased);
        }
        result_.passes = 1;
        for (;;) {
            const ImageWrite programmed = program();
            write_disable();
            ImageWrite outcome = programmed;
            if (programmed == ImageWrite::Ok) outcome = verify();
            if (outcome == ImageWrite::Ok) break;
            if (!erase_mends(outcome) || result_.passes >= kWritePasses) return end(outcome);
            // The page holds bits no program can set again: only a new erase and a new pass
            // over the whole image mend it.
            const int bad_page = result_.bad_page;
            ++result_.passes;
            tracef(" page %d can't be mended by a program: erasing the chip again (pass %d of %d) ",
                   bad_page, result_.passes, kWritePasses);
            need_.assign(need_.size(), true);
            programmed_.clear();
            result_.pages_done = 0;
            result_.pages_skipped = 0;
            result_.pages_verified = 0;
            result_.bad_page = -1;
            result_.bad_address = -1;
            result_.page_failure = PageProgram::Done;
            if (hooks_.should_stop()) {
                result_.device_state = "page " + std::to_string(bad_page) +
                                       " wrong; run write again";
                return end(ImageWrite::Stopped);
            }
            const ImageWrite erased = erase();
            if (erased != ImageWrite::Ok) return end(erased);
        }
        result_.device_state = "holds the image";
        return result_;
    }

  private:
    // A page that reads back with bits cleared that the image sets: a load that a lost request
    // shifted, which the link could not see.
    bool erase_mends(ImageWrite outcome) const {
        return outcome == ImageWrite::VerifyDiffers ||
               (outcome == ImageWrite::ProgramFailed &&
                result_.page_failure == PageProgram::ReadBackDiffers);
    }

    ImageWriteResult end(ImageWrite outcome) {
        result_.outcome = outcome;
        return result_;
    }

    // Reads the whole chip; true when every page is right or blank, need_ then marks the image
    // pages still to program. False with result_.outcome set when the check itself failed.
    bool resumable() {
        if (!wait_ready_for_resume()) return false;
        trace(" resume: checking the chip ");
        Page page{};
        hooks_.report(FlashStage::Read, 0, kFlashPages);
        for (int k = 0; k < kFlashPages; ++k) {
            if (hooks_.should_stop()) {
                result_.outcome = ImageWrite::Stopped;
                result_.device_state = "unchanged; run write --resume";
                return false;
            }
            if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page)) {
                result_.outcome = ImageWrite::LinkFailed;
                result_.device_state = "unchanged; run write --resume";
                result_.bad_page = k;
                return false;
            }
            hooks_.report(FlashStage::Read, k + 1, kFlashPages);
            const Page want = expected_page(image_, k);
            if (page == want) {
                if (k < result_.image_pages) need_[static_cast<std::size_t>(k)] = false;
                continue;
            }
            if (!blank(page)) {
                tracef(" resume: page %d holds neither the image nor blank bytes, erasing ", k);
                need_.assign(need_.size(), true);
                return false;
            }
        }
        result_.resumed = true;
        trace(" resume: every page is right or blank ");
        return true;
    }

    // A chip still busy from an interrupted erase is waited for like after an erase.
    bool wait_ready_for_resume() {
        std::uint8_t status = 0;
        if (spi_read_status(status) && (status & kStatusBusy) == 0) return true;
        return erase_wait() == ImageWrite::Ok;
    }

    ImageWrite erase() {
        spi_set_access_bit();
        trace(" start erase chip ");
        hooks_.report(FlashStage::Erase, 0, kEraseSeconds);
        bool acknowledged = false;
        for (int attempt = 1; attempt <= kEraseTries && !acknowledged; ++attempt) {
            LinkTally tally;
            spi_chip_erase(&tally);
            if (hooks_.must_stop_now()) {
                result_.device_state = "chip erase under way; run write --resume";
                return ImageWrite::Stopped;
            }
            acknowledged = tally.clean();
            if (!acknowledged)
                tracef("chip erase: %d exchanges not acknowledged (try %d of %d)",
                       tally.unacknowledged, attempt, kEraseTries);
        }
        if (!acknowledged) {
            write_disable();
            result_.device_state = "erase not confirmed; run write again";
            return ImageWrite::EraseNotAcknowledged;
        }
        result_.erased = true;
        result_.device_state = "erase under way; run write --resume";
        const ImageWrite waited = erase_wait();
        if (waited != ImageWrite::Ok) return waited;
        trace(" erase chip done! ");
        hooks_.report(FlashStage::Erase, kEraseSeconds, kEraseSeconds);
        result_.device_state = programmed_state(0, "run write --resume");
        return ImageWrite::Ok;
    }

    // The erase wait: 1000 ms after each busy poll, then 3000 ms, at most 20 busy polls; each
    // busy poll logged.
    ImageWrite erase_wait() {
        for (int busy = 0;;) {
            std::uint8_t status = 0;
            if (spi_read_status(status) && (status & kStatusBusy) == 0) return ImageWrite::Ok;
            if (options_.log_dir.empty()) {
                tracef("read status register0  %x\n", status);
            } else {
                write_log(options_.log_dir, "read status register0  %x\n", status);
            }
            sleep_ms(kErasePollSleepMs);
            if (++busy >= kEraseWaitLimit) {
                write_disable();
                result_.device_state = "erase not finished; run write again";
                return ImageWrite::EraseTimedOut;
            }
            if (hooks_.must_stop_now()) {
                result_.device_state = "chip erase under way; run write --resume";
                return ImageWrite::Stopped;
            }
            sleep_ms(kEraseRepollSleepMs);
            if (hooks_.must_stop_now()) {
                result_.device_state = "chip erase under way; run write --resume";
                return ImageWrite::Stopped;
            }
        }
    }

    ImageWrite program() {
        trace(" start program........ ");
        hooks_.report(FlashStage::Program, 0, result_.image_pages);
        for (int k = 0; k < result_.image_pages; ++k) {
            if (hooks_.should_stop()) {
                result_.device_state = programmed_state(k, "run write --resume");
                return ImageWrite::Stopped;
            }
            const Page page = expected_page(image_, k);
            if (!need_[static_cast<std::size_t>(k)] || (options_.skip_blank && blank(page))) {
                ++result_.pages_skipped;
            } else {
                spi_write_enable();
                const PageProgram programmed =
                    program_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page,
                                         options_.verify == VerifyScope::None
                                             ? ProgramCheck::Tail
                                             : ProgramCheck::None);
                if (programmed != PageProgram::Done) {
                    result_.bad_page = k;
                    result_.page_failure = programmed;
                    result_.device_state = programmed_state(
                        k, ("page " + std::to_string(k) + " failed; run write --resume").c_str());
                    trace(" program failed! ");
                    return ImageWrite::ProgramFailed;
                }
                ++result_.pages_programmed;
                programmed_.push_back(k);
            }
            result_.pages_done = k + 1;
            hooks_.report(FlashStage::Program, k + 1, result_.image_pages);
        }
        trace(" program ok! ");
        result_.device_state = programmed_state(result_.image_pages, "not verified yet");
        return ImageWrite::Ok;
    }

    ImageWrite verify() {
        std::vector<int> pages;
        if (options_.verify == VerifyScope::Programmed) pages = programmed_;
        if (options_.verify == VerifyScope::WholeChip) {
            pages.resize(kFlashPages);
            for (int k = 0; k < kFlashPages; ++k) pages[static_cast<std::size_t>(k)] = k;
        }
        const int total = static_cast<int>(pages.size());
        if (total > 0) hooks_.report(FlashStage::Verify, 0, total);
        Page page{};
        for (int i = 0; i < total; ++i) {
            const int k = pages[static_cast<std::size_t>(i)];
            if (hooks_.should_stop()) {
                result_.device_state = "programmed, not verified; run write --resume";
                return ImageWrite::Stopped;
            }
            if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page)) {
                result_.bad_page = k;
                result_.device_state = "programmed, not verified; run write --resume";
                return ImageWrite::LinkFailed;
            }
            const long bad = first_difference(image_, static_cast<std::size_t>(k) * kPageSize, page);
            if (bad >= 0) {
                result_.bad_page = k;
                result_.bad_address = bad;
                result_.device_state =
                    "programmed; page " + std::to_string(k) + " differs from the image";
                tracef("verify: page %d differs at %06lx", k, bad);
                return ImageWrite::VerifyDiffers;
            }
            ++result_.pages_verified;
            hooks_.report(FlashStage::Verify, i + 1, total);
        }
        return ImageWrite::Ok;
    }

    std::span<const std::uint8_t> image_;
    const ImageWriteOptions& options_;
    const FlashJobHooks& hooks_;
    ImageWriteResult result_;
    std::vector<bool> need_;       // image pages this run must program
    std::vector<int> programmed_;  // pages it did program
};

}  // namespace

ImageWriteResult write_image(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
                             const FlashJobHooks& hooks) {
    return Job(image, options, hooks).run();
}

}  // namespace kestrel
