#include "flash/core/image_write.h"

#include <algorithm>
#include <array>
#include <vector>

#include "flash/core/chip_erase.h"
#include "flash/core/chip_pages.h"
#include "flash/core/erase_wait.h"
#include "flash/core/flash_id.h"
#include "flash/core/flash_log.h"
#include "flash/core/page_io.h"
#include "flash/core/sector_repair.h"
#include "link/transport.h"
#include "platform/sleep.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

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
        : image_(image.first(std::min(image.size(), kFlashSize))),
          options_(options),
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
        ImageWrite outcome = program();
        write_disable();
        if (outcome == ImageWrite::Ok) {
            const int repaired = result_.sectors_repaired;
            outcome = verify();
            if (result_.sectors_repaired != repaired) write_disable();
        }
        if (outcome != ImageWrite::Ok) return end(outcome);
        result_.device_state = "holds the image";
        return result_;
    }

  private:
    // Erases the sector that holds page k and programs its pages up to last again; at most
    // kSectorRepairs times a sector. The pages it programs join the verify.
    PageProgram repair(int k, int last) {
        const int sector = sector_first_page(k) / kPagesPerSector;
        PageProgram p = PageProgram::ReadBackDiffers;
        while (p == PageProgram::ReadBackDiffers &&
               repairs_[static_cast<std::size_t>(sector)] < kSectorRepairs) {
            ++repairs_[static_cast<std::size_t>(sector)];
            ++result_.sectors_repaired;
            p = repair_sector(k, last, image_);
        }
        for (int j = sector_first_page(k);
             j <= std::min(last, sector_first_page(k) + kPagesPerSector - 1); ++j)
            if (j != k &&
                std::find(programmed_.begin(), programmed_.end(), j) == programmed_.end() &&
                !blank(expected_page(image_, j)))
                programmed_.insert(std::upper_bound(programmed_.begin(), programmed_.end(), j), j);
        return p;
    }

    ProgramCheck check() const {
        return options_.verify == VerifyScope::None ? ProgramCheck::Whole : ProgramCheck::None;
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
        const bool acknowledged = start_chip_erase() == EraseStart::Started;
        if (hooks_.must_stop_now()) {
            result_.device_state = acknowledged ? "chip erase under way; run write --resume"
                                                : "erase not confirmed; run write again";
            return ImageWrite::Stopped;
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
    // busy poll logged. A poll whose last exchange met no reply is made again at once (at most
    // kDeviceGoneSilentRun times): sleeping tells nothing about a device that has stopped
    // answering, which ends the wait as EraseTimedOut once that many exchanges in a row went
    // unanswered.
    ImageWrite erase_wait() {
        for (int busy = 0, quick = 0;;) {
            std::uint8_t status = 0;
            if (spi_read_status(status) && (status & kStatusBusy) == 0) return ImageWrite::Ok;
            if (link_silent_run() >= kDeviceGoneSilentRun) {
                result_.device_state = "chip erase under way; run write --resume";
                return ImageWrite::EraseTimedOut;
            }
            if (link_silent_run() > 0 && ++quick <= kDeviceGoneSilentRun) continue;
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
                PageProgram programmed =
                    program_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page, check());
                if (programmed == PageProgram::ReadBackDiffers) programmed = repair(k, k);
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
        std::vector<int>& pages = verify_list();
        if (!pages.empty()) hooks_.report(FlashStage::Verify, 0, static_cast<int>(pages.size()));
        Page page{};
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const int k = pages[i];
            if (hooks_.should_stop()) {
                result_.device_state = "programmed, not verified; run write --resume";
                return ImageWrite::Stopped;
            }
            if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page)) {
                result_.bad_page = k;
                result_.device_state = "programmed, not verified; run write --resume";
                return ImageWrite::LinkFailed;
            }
            const long bad =
                first_difference(image_, static_cast<std::size_t>(k) * kPageSize, page);
            if (bad >= 0) {
                tracef("verify: page %d differs at %06lx", k, bad);
                if (!mend(k, page)) {
                    result_.bad_page = k;
                    result_.bad_address = bad;
                    result_.device_state =
                        "programmed; page " + std::to_string(k) + " differs from the image";
                    return ImageWrite::VerifyDiffers;
                }
                // The sector's pages are read back again from its first one.
                const int first = sector_first_page(k);
                i = static_cast<std::size_t>(std::lower_bound(pages.begin(), pages.end(), first) -
                                             pages.begin());
                result_.pages_verified = static_cast<int>(i);
                --i;
                continue;
            }
            result_.pages_verified = static_cast<int>(i) + 1;
            hooks_.report(FlashStage::Verify, static_cast<int>(i) + 1,
                          static_cast<int>(pages.size()));
        }
        return ImageWrite::Ok;
    }

    // The pages the verify reads back, ascending; a sector repair may add to them.
    std::vector<int>& verify_list() {
        if (options_.verify == VerifyScope::WholeChip) {
            programmed_.resize(kFlashPages);
            for (int k = 0; k < kFlashPages; ++k)
                programmed_[static_cast<std::size_t>(k)] = k;
        } else if (options_.verify == VerifyScope::None) {
            programmed_.clear();
        }
        return programmed_;
    }

    // Programs page k again, or erases its sector when it holds bits no program can set.
    bool mend(int k, const Page& now) {
        const Page want = expected_page(image_, k);
        bool programmable = true;
        for (std::size_t i = 0; i < kPageSize; ++i)
            programmable = programmable && (now[i] & want[i]) == want[i];
        PageProgram p = PageProgram::ReadBackDiffers;
        if (programmable) {
            spi_write_enable();
            p = program_page_checked(static_cast<std::uint32_t>(k) * kPageSize, want,
                                     ProgramCheck::None);
        }
        const int last =
            std::min(result_.image_pages - 1, sector_first_page(k) + kPagesPerSector - 1);
        if (p == PageProgram::ReadBackDiffers) p = repair(k, last);
        return p == PageProgram::Done;
    }

    std::span<const std::uint8_t> image_;
    const ImageWriteOptions& options_;
    const FlashJobHooks& hooks_;
    ImageWriteResult result_;
    std::vector<bool> need_;       // image pages this run must program
    std::vector<int> programmed_;  // pages it did program, ascending
    std::vector<int> repairs_ = std::vector<int>(kFlashPages / kPagesPerSector, 0);
};

}  // namespace

ImageWriteResult write_image(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
                             const FlashJobHooks& hooks) {
    return Job(image, options, hooks).run();
}

}  // namespace kestrel
