// The erase step of a write job: access bit, chip erase, the erase wait.
#include "flash/core/chip_erase.h"
#include "flash/core/image_write_job.h"
#include "flash/core/write_disable.h"
#include "platform/trace.h"

namespace kestrel::engine {
namespace {

constexpr int kEraseSeconds = static_cast<int>(kEraseSleepMs / 1000);
constexpr const char* kEraseUnderWay = "chip erase under way; run write --resume";

}  // namespace

ImageWrite Job::erase() {
    spi_set_access_bit();
    trace(" start erase chip ");
    hooks_.report(FlashStage::Erase, 0, kEraseSeconds);
    result_.erase_busy_polls = 0;
    const bool acknowledged = start_chip_erase() == EraseStart::Started;
    if (hooks_.must_stop_now()) {
        result_.device_state =
            acknowledged ? kEraseUnderWay : "erase not confirmed; run write again";
        return ImageWrite::Stopped;
    }
    if (!acknowledged) {
        // Programming over a chip that may not be erased could only end in a wrong image
        // reported as written.
        trace(" erase chip not acknowledged, nothing programmed ");
        disable_writes();
        result_.device_state = "erase not confirmed; run write again";
        return ImageWrite::EraseNotAcknowledged;
    }
    result_.erased = true;
    result_.device_state = "erase under way; run write --resume";
    const ImageWrite waited = wait_erased(*result_.erase_busy_polls);
    if (waited != ImageWrite::Ok) return waited;
    trace(" erase chip done! ");
    hooks_.report(FlashStage::Erase, kEraseSeconds, kEraseSeconds);
    result_.device_state = programmed_state(0, "run write --resume");
    return ImageWrite::Ok;
}

// The erase wait, its end put as the job's outcome.
ImageWrite Job::wait_erased(int& busy_polls) {
    switch (wait_for_erase(options_.erase_wait, hooks_, busy_polls)) {
        case EraseWaitEnd::Ready:
            return ImageWrite::Ok;
        case EraseWaitEnd::StillBusy:
            // Pages programmed into a chip that never finished its erase could not be trusted.
            trace(" erase chip not done, nothing programmed ");
            disable_writes();
            result_.device_state = "erase not finished; run write again";
            return ImageWrite::EraseTimedOut;
        case EraseWaitEnd::DeviceGone:
            result_.device_state = kEraseUnderWay;
            return ImageWrite::EraseTimedOut;
        case EraseWaitEnd::Stopped:
            result_.device_state = kEraseUnderWay;
            return ImageWrite::Stopped;
    }
    return ImageWrite::EraseTimedOut;
}

}  // namespace kestrel::engine
