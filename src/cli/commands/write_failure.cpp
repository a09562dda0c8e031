#include "cli/commands/write_failure.h"

#include "cli/commands/command_common.h"
#include "cli/flash_steps.h"
#include "flash/core/flash_id.h"
#include "flash/core/page_read.h"
#include "link/transport.h"

namespace kestrel::cli {

WriteFailure write_failure(const ImageWriteResult& r) {
    const std::string page = "page " + std::to_string(r.bad_page);
    switch (r.outcome) {
        case ImageWrite::Ok:
            return {};
        case ImageWrite::WrongChip:
            return {kExitFlashChip, (no_flash_chip(r.chip_id) ? "no flash chip answers (id "
                                                              : "unexpected flash chip (id ") +
                                        flash_id_text(r.chip_id) +
                                        ", expected c22016); nothing done"};
        case ImageWrite::EraseNotAcknowledged:
            return {kExitLink, "the chip erase was never acknowledged; nothing programmed"};
        case ImageWrite::EraseTimedOut:
            // A device that went silent during the erase is not a chip that never finished.
            if (link_silent_run() >= kDeviceGoneSilentRun)
                return {kExitLink, "the chip erase was not seen to finish; nothing programmed"};
            return {kExitFlashChip, "the chip erase did not finish; nothing programmed"};
        case ImageWrite::ProgramFailed:
            if (r.page_failure == PageProgram::ChipBusy)
                return {kExitFlashChip, page + ": the chip stayed busy"};
            if (r.page_failure == PageProgram::ReadBackDiffers)
                return {kExitDiffers, page + " holds bytes no program can fix"};
            return {kExitLink, page + " could not be programmed over the link"};
        case ImageWrite::LinkFailed:
            return {kExitLink,
                    page + " had no clean read in " + std::to_string(kPageReadTries) + " tries"};
        case ImageWrite::VerifyDiffers:
            return {kExitDiffers, page + " differs from the image at " +
                                      hex_address(static_cast<std::uint64_t>(r.bad_address))};
        case ImageWrite::Stopped:
            return {kExitInterrupted, "interrupted; the device: " + r.device_state};
    }
    return {kExitLink, "the write ended in an unknown way"};
}

}  // namespace kestrel::cli
