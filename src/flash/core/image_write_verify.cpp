// The verify step of a write job, and the mending of pages that a program or the verify found
// holding the wrong bytes.
#include <algorithm>

#include "flash/core/image_write_job.h"
#include "flash/core/page_prefetch.h"
#include "flash/core/page_read.h"
#include "flash/core/piece_program.h"
#include "flash/core/sector_repair.h"
#include "platform/trace.h"

namespace kestrel::engine {
namespace {

constexpr const char* kNotVerified = "programmed, not verified; run write --resume";

}  // namespace

// Reads back the pages of verify_list(); a page that differs is mended and its sector's pages
// are read back again from the sector's first one.
ImageWrite Job::verify() {
    std::vector<int>& pages = verify_list();
    if (!pages.empty()) hooks_.report(FlashStage::Verify, 0, static_cast<int>(pages.size()));
    FlashPage page{};
    PagePrefetch prefetch;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const int k = pages[i];
        if (hooks_.should_stop()) {
            result_.device_state = kNotVerified;
            return ImageWrite::Stopped;
        }
        if (!read_page_checked(static_cast<std::uint32_t>(k) * kPageSize, page,
                               prefetch.ahead(std::span<const int>(pages).subspan(i)))) {
            result_.bad_page = k;
            result_.device_state = kNotVerified;
            return ImageWrite::LinkFailed;
        }
        const long bad = first_difference(image_, static_cast<std::size_t>(k) * kPageSize, page);
        if (bad >= 0) {
            tracef("verify: page %d differs at %06lx", k, bad);
            if (!mend(k, page)) {
                result_.bad_page = k;
                result_.bad_address = bad;
                result_.device_state =
                    "programmed; page " + std::to_string(k) + " differs from the image";
                return ImageWrite::VerifyDiffers;
            }
            const int first = sector_first_page(k);
            i = static_cast<std::size_t>(std::lower_bound(pages.begin(), pages.end(), first) -
                                         pages.begin());
            result_.pages_verified = static_cast<int>(i);
            --i;  // the loop's ++i reads page `first` next (unsigned wrap when i was 0)
            continue;
        }
        result_.pages_verified = static_cast<int>(i) + 1;
        hooks_.report(FlashStage::Verify, static_cast<int>(i) + 1, static_cast<int>(pages.size()));
    }
    return ImageWrite::Ok;
}

// The pages the verify reads back, ascending; a sector repair may add to them.
std::vector<int>& Job::verify_list() {
    if (options_.verify == VerifyScope::WholeChip) {
        programmed_.resize(static_cast<std::size_t>(chip_pages_));
        for (int k = 0; k < chip_pages_; ++k)
            programmed_[static_cast<std::size_t>(k)] = k;
    } else if (options_.verify == VerifyScope::None) {
        programmed_.clear();
    }
    return programmed_;
}

// Without a verify of its own to come, a program is read back whole by the page program itself;
// with one, not even a program in doubt is read back before it (the verify mends it).
ProgramCheck Job::check() const {
    return options_.verify == VerifyScope::None ? ProgramCheck::Whole : ProgramCheck::Later;
}

// Programs page k again, or erases its sector when it holds bits no program can set.
bool Job::mend(int k, const FlashPage& now) {
    const FlashPage want = expected_page(image_, k);
    bool programmable = true;
    for (std::size_t i = 0; i < kPageSize; ++i)
        programmable = programmable && (now[i] & want[i]) == want[i];
    PageProgram p = PageProgram::ReadBackDiffers;
    if (programmable) p = program_whole_or_pieces(k, want, now, ProgramCheck::None);
    const int last = std::min(result_.image_pages - 1, sector_first_page(k) + kPagesPerSector - 1);
    if (p == PageProgram::ReadBackDiffers) p = repair(k, last);
    return p == PageProgram::Done;
}

// Programs page k, which holds now, with want: in pieces once whole loads keep spoiling, else
// as program_page_or_pieces does, noting whether a whole load came out spoiled.
PageProgram Job::program_whole_or_pieces(int k, const FlashPage& want, const FlashPage& now,
                                         ProgramCheck check) {
    const auto address = static_cast<std::uint32_t>(k) * kPageSize;
    if (spoils_.pieces()) {
        const PageProgram p = program_page_in_pieces(address, want, now);
        if (p == PageProgram::ReadBackDiffers) spoils_.pieces_spoiled();
        return p;
    }
    const PageProgram p = program_page_or_pieces(address, want, now, check);
    spoils_.note(p == PageProgram::ReadBackDiffers);
    if (spoils_.pieces()) trace(" page loads keep coming out spoiled: programming in pieces ");
    return p;
}

// Erases the sector that holds page k and programs its pages up to last again; at most
// kSectorRepairs times a sector over the whole run. The pages it programs join the verify,
// and with a verify to come the blank ones too: the repair leaves reading them back to it.
// Image pages after last in the sector, erased with it, are programmed again when the
// program stage comes to them.
PageProgram Job::repair(int k, int last) {
    const int first = sector_first_page(k);
    auto& repairs = repairs_[static_cast<std::size_t>(first / kPagesPerSector)];
    PageProgram p = PageProgram::ReadBackDiffers;
    while (p == PageProgram::ReadBackDiffers && repairs < kSectorRepairs) {
        // A sector whose repairs keep spoiling is loaded in pieces from its third repair on.
        const bool pieces = spoils_.pieces() || (repairs >= 2 && spoils_.pieces_work());
        ++repairs;
        ++result_.sectors_repaired;
        p = repair_sector(k, last, image_, pieces ? RepairLoads::Pieces : RepairLoads::Whole,
                          check());
        if (pieces && p == PageProgram::ReadBackDiffers) spoils_.pieces_spoiled();
    }
    const int sector_end = std::min(first + kPagesPerSector, result_.image_pages);
    for (int j = std::max(last + 1, first); j < sector_end; ++j)
        need_[static_cast<std::size_t>(j)] = true;
    const bool blanks_too = check() == ProgramCheck::Later;
    for (int j = first; j <= std::min(last, first + kPagesPerSector - 1); ++j)
        if (j != k && std::find(programmed_.begin(), programmed_.end(), j) == programmed_.end() &&
            (blanks_too || !blank_page(expected_page(image_, j))))
            programmed_.insert(std::upper_bound(programmed_.begin(), programmed_.end(), j), j);
    return p;
}

}  // namespace kestrel::engine
