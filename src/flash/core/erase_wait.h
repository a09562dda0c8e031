// The wait for the end of a chip erase, after the chip erase's own 13000 ms pause: the one
// erase wait of every write job. Call on the flash worker, which holds the link lock.
#pragma once

#include <cstdint>
#include <filesystem>

#include "flash/core/flash_job.h"

namespace kestrel {

inline constexpr int kEraseWaitLimit = 20;
inline constexpr std::uint32_t kErasePollSleepMs = 1000;
inline constexpr std::uint32_t kEraseRepollSleepMs = 3000;

struct EraseWaitRules {
    // Where each busy poll is logged (log_dir/qxrCI.log, stamped, and to the trace); empty: the
    // line "read status register0  %x\n" goes to the trace only.
    std::filesystem::path log_dir;
    // A poll that met no reply at all is made again at once (at most kDeviceGoneSilentRun times
    // a wait), and the wait ends as DeviceGone once that many exchanges in a row went
    // unanswered: sleeping tells nothing about a device that has stopped answering. Off, such a
    // poll counts as busy like any other.
    bool device_gone_ends_wait = true;
};

enum class EraseWaitEnd {
    Ready,       // a trusted status read showed the chip ready
    StillBusy,   // busy_polls reached kEraseWaitLimit
    DeviceGone,  // (device_gone_ends_wait only) the device stopped answering
    Stopped,     // hooks.must_stop_now() after a sleep; the erase still under way
};

// Reads the status until the chip is ready. Each busy poll (or one whose status the device did
// not fully acknowledge) is logged with its status byte, sleeps 1000 ms and counts itself in
// busy_polls; at kEraseWaitLimit the wait ends, otherwise it sleeps 3000 ms and polls again.
// hooks.must_stop_now() is asked after each sleep. The caller sets busy_polls (normally 0).
[[nodiscard]] EraseWaitEnd wait_for_erase(const EraseWaitRules& rules, const FlashJobHooks& hooks,
                                          int& busy_polls);

}  // namespace kestrel
