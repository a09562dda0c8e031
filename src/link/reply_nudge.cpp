#include <algorithm>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/window.h"
#include "platform/ticks.h"
#include "protocol/host_regs.h"

namespace kestrel::link_detail {
namespace {

ExpectedReply& arm(LinkState& s, std::uint16_t address, const RegisterWord* word,
                   std::uint64_t sent_us) {
    ExpectedReply& x = s.expected;
    x = ExpectedReply{};
    x.armed = true;
    x.address = address;
    x.word_known = word != nullptr;
    x.word = word != nullptr ? *word : RegisterWord{};
    x.sent_us = sent_us;
    return x;
}

// The reply expected is the one of `asked`: measured if it comes within asked's wait.
void measure_when_it_comes(ExpectedReply& x, const Pending& asked) {
    x.asked_real_ns = asked.sent_real_ns;
    x.wait_end_real_ns = asked.sent_real_ns + (asked.deadline_us - asked.sent_mono_us) * 1000u;
}

}  // namespace

std::uint32_t nudge_after_us(const LinkState& s, std::uint32_t wait_us) {
    // (Without the kernel's arrival stamps a probe's reply can't be told from an older one.)
    if (!reply_nudges() || full_reply_wait() || s.expected.armed || !s.shape.echoes() || !s.stamped)
        return 0;
    if (link_window_in_use()) return 0;
    const std::uint32_t nudge = s.wait.nudge_us();
    return nudge != 0 && nudge < wait_us ? nudge : 0;
}

Receipt nudge(LinkState& s, Pending p, const std::uint8_t* request, std::size_t request_size,
              std::uint8_t* reply, std::size_t size) {
    const bool read = p.kind == ExchangeKind::Read;
    std::uint8_t probe[kReadRequestSize];
    const std::uint8_t* again = request;
    std::size_t again_size = request_size;
    if (!read) {
        again_size = encode_request(ExchangeKind::Read, HOST_CTRL, RegisterWord{}, probe);
        again = probe;
    }
    const std::uint64_t now_ns = monotonic_ns();
    const Pending behind{ExchangeKind::Read, read ? p.address : HOST_CTRL, realtime_ns(),
                         now_ns / 1000u, p.deadline_us};
    p.stop_us = 0;
    if (!send_datagram(s.fd, s.peer, again, again_size)) return receive_reply(s, p, reply, size);
    bump(counters().nudges);
    bump(counters().exchanges);
    // The wait before the nudge went to a reply that may never come: it counts as time lost.
    bump(counters().timeout_ns, now_ns - std::min(now_ns, p.sent_mono_us * 1000u));
    if (!read) p.behind = &behind;
    Receipt r = receive_reply(s, p, reply, size);
    // A reply that came right behind the nudge may have been held up until it came: its round
    // trip would be the nudge's delay. The reply of the request sent last is measured instead.
    const bool released = maybe_released_by(s, behind.sent_real_ns, r.arrived_real_ns);
    r.ambiguous = read || released;
    if (read && r.length >= 0) {
        // The other reply, if it comes, holds the word this one does.
        const RegisterWord word = value_of(reply, static_cast<std::size_t>(r.length));
        ExpectedReply& x = arm(s, p.address, &word, p.sent_mono_us);
        if (released) {
            measure_when_it_comes(x, behind);
        } else if (r.arrived_real_ns > p.sent_real_ns) {
            x.taken_rtt_us =
                static_cast<std::uint32_t>((r.arrived_real_ns - p.sent_real_ns) / 1000u);
        }
    } else if (read) {
        // Neither came: both are owed (the first one as any read that timed out).
        s.history.owe(ExchangeKind::Read, history_key(s, p.address), behind.sent_mono_us, p.keys);
    } else if (!r.probe_answered) {
        measure_when_it_comes(arm(s, HOST_CTRL, nullptr, behind.sent_mono_us), behind);
    }
    return r;
}

}  // namespace kestrel::link_detail
