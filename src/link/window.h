// Several register exchanges in flight at once, for runs of requests that are safe to overlap
// (reads, and writes whose effect a later read shows). Call on the thread that holds the link
// lock for the run; the window's size lives in the link state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/exchange.h"
#include "link/window_setting.h"
#include "link/window_size.h"
#include "protocol/register_word.h"

namespace kestrel {

struct WindowRequest {
    ExchangeKind kind = ExchangeKind::Read;
    std::uint16_t address = 0;
    RegisterWord word{};  // writes only
    ReadKeys keys{};      // reads: what the reply will hold, when known
};

// What a run of a window came to. results[0, answered) hold the replies, taken in order; the
// rest are NoReply.
struct WindowRun : WindowOutcome {
    std::size_t window = 1;  // requests in flight during the run
    bool in_step = true;     // after a break, a probe got its own reply: nothing is on its way
};

// Sends the requests, keeping up to the window's size in flight, and takes the replies in
// order: each must be the next request's (its kind's length, its register's echo). The first
// gap, extra datagram, reorder, NAK or time-out stops the run: nothing more is sent, the replies
// still on their way are drained behind a probe of HOST_CTRL, and replies that never came are
// owed. A NAK'd reply is kept in results (not counted as answered). Never traces.
[[nodiscard]] WindowRun exchange_window(std::span<const WindowRequest> requests,
                                        std::span<ExchangeResult> results);

// Sets how many exchanges may be in flight (process-wide; off unless set). Returns the previous.
WindowSetting set_link_window(WindowSetting setting);

// The window a run would use now, or 1 when the link cannot keep several in flight safely: the
// window is off, or the device has not yet shown that it echoes the register and which reply
// lengths it uses, or the socket does not stamp arrivals.
[[nodiscard]] std::size_t link_window_now();

// Whether page passes and polls go through runs of the window: as link_window_now() > 1, and
// also for an adaptive window that has shrunk to one (its runs then carry one request at a
// time, and clean ones grow it again; made one exchange at a time, it never would).
[[nodiscard]] bool link_window_in_use();

}  // namespace kestrel
