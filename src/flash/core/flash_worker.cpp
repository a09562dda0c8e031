#include "flash/core/flash_worker.h"

#include <mutex>

#include "link/mailbox.h"
#include "link/transport.h"

namespace kestrel {

void run_flash_worker(const std::function<void()>& procedure) {
    std::lock_guard<std::recursive_mutex> hold(link_lock());
    for (int channel = 0; channel < kRtpChannels; ++channel)
        close_rtp(channel);
    procedure();
}

}  // namespace kestrel
