#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/udp_socket.h"
#include "platform/ticks.h"

namespace kestrel::link_detail {
namespace {

constexpr int kSpinMissesToRest = 8;
constexpr int kSpinRestExchanges = 1024;

}  // namespace

bool maybe_released_by(const LinkState& s, std::uint64_t sent_real_ns,
                       std::uint64_t arrived_real_ns) {
    constexpr std::uint64_t kReleaseMarginUs = 500;
    if (arrived_real_ns == 0 || arrived_real_ns < sent_real_ns) return false;
    const std::uint64_t after_us = (arrived_real_ns - sent_real_ns) / 1000u;
    return after_us <= 2 * std::uint64_t{s.wait.smoothed_us()} + kReleaseMarginUs;
}

void note_stray(LinkState& s, const std::uint8_t* buf, const Datagram& d, Receipt& r,
                const Pending* p) {
    bump(counters().stale_discarded);
    const bool read = s.shape.is_read_length(d.length);
    const bool known = read || s.shape.is_write_length(d.length);
    if (read) {
        ++r.strays.reads;
    } else {
        ++r.strays.others;
    }
    // Sorted by when it came, not when this thread got to it: a copy is told by how soon
    // after the reply it copies it arrived.
    std::uint64_t at_us = monotonic_us();
    const std::uint64_t now_real_ns = realtime_ns();
    if (d.arrived_real_ns != 0 && d.arrived_real_ns < now_real_ns)
        at_us -= std::min(at_us, (now_real_ns - d.arrived_real_ns) / 1000u);
    const StraySort sort =
        s.history.stray(read ? ExchangeKind::Read : ExchangeKind::Write, known,
                        s.shape.register_of(buf, d.length), value_of(buf, d.length), at_us);
    if (sort.kind == StrayKind::Late) {
        bump(counters().late_replies);
        if (p != nullptr && sort.owed_since_us != 0 && sort.owed_since_us == s.timed_out_sent_us &&
            at_us > sort.owed_since_us && !maybe_released_by(s, p->sent_real_ns, d.arrived_real_ns))
            s.wait.came_late(at_us - sort.owed_since_us);
    }
    if (sort.kind == StrayKind::Duplicate) bump(counters().duplicates);
}

bool from_device(const LinkState& s, const Datagram& d) {
    return d.from.sin_family == AF_INET && d.from.sin_addr.s_addr == s.peer.sin_addr.s_addr &&
           (!s.port_learnt || d.from.sin_port == s.peer.sin_port);
}

namespace {

// Spins for a few microseconds, then blocks, until a datagram waits or the deadline passes.
bool next_datagram(LinkState& s, const Pending& p, bool& spinning, std::uint8_t* buf, Datagram& d) {
    const std::uint64_t spin_until = p.sent_mono_us + g_spin_us.load(std::memory_order_relaxed);
    const std::uint64_t stop_us = p.stop_us != 0 ? p.stop_us : p.deadline_us;
    for (;;) {
        if (take_datagram(s.fd, buf, kReceiveBuffer, d)) return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (spinning && monotonic_us() < std::min(spin_until, stop_us)) {
            sched_yield();
            continue;
        }
        if (spinning && ++s.spin_misses >= kSpinMissesToRest) {
            s.spin_misses = 0;
            s.spin_rest = kSpinRestExchanges;
        }
        spinning = false;
        if (!wait_readable(s.fd, stop_us)) return false;
    }
}

}  // namespace

RegisterWord value_of(const std::uint8_t* buf, std::size_t length) {
    RegisterWord w{};
    if (length >= kRegisterValueAt + w.size())
        std::memcpy(w.data(), buf + kRegisterValueAt, w.size());
    return w;
}

std::uint32_t history_key(const LinkState& s, std::uint16_t address) {
    return s.shape.echoes() ? address : ReplyShape::kAnyRegister;
}

namespace {

// The round trip of a reply to a request sent at asked_real_ns (0: unknown, not measured).
void measure(LinkState& s, std::uint64_t asked_real_ns, std::uint64_t arrived_real_ns) {
    if (asked_real_ns != 0 && arrived_real_ns > asked_real_ns)
        s.wait.measured(static_cast<std::uint32_t>((arrived_real_ns - asked_real_ns) / 1000u));
}

}  // namespace

bool take_expected(LinkState& s, const std::uint8_t* buf, const Datagram& d) {
    const ExpectedReply& x = s.expected;
    if (!x.armed || !s.shape.fits(ExchangeKind::Read, x.address, buf, d.length)) return false;
    if (x.word_known && value_of(buf, d.length) != x.word) return false;
    s.expected.armed = false;
    if (x.taken_rtt_us != 0) s.wait.measured(x.taken_rtt_us);
    if (d.arrived_real_ns <= x.wait_end_real_ns) measure(s, x.asked_real_ns, d.arrived_real_ns);
    return true;
}

void expected_missed(LinkState& s) {
    ExpectedReply& x = s.expected;
    if (!x.armed) return;
    x.armed = false;
    bump(counters().missing);
    const std::uint32_t reg = history_key(s, x.address);
    if (x.word_known) {
        s.history.owe_holding(reg, x.word, x.sent_us);
    } else {
        s.history.owe(ExchangeKind::Read, reg, x.sent_us);
    }
}

namespace {

// This request's own reply, come after its wait: the wait grows to cover that round trip next
// time (a loaded host answers late for a while). Not one slower than the longest wait, which no
// wait could have caught.
void came_late(LinkState& s, const Pending& p, const Datagram& d) {
    if (d.arrived_real_ns <= p.sent_real_ns) return;
    const std::uint64_t rtt_us = (d.arrived_real_ns - p.sent_real_ns) / 1000u;
    if (rtt_us <= kMaxWaitUs) s.wait.came_late(rtt_us);
}

// A datagram that is not this request's reply within its wait: a stray, or this request's own
// reply come after the wait. True when the receive ends with it.
bool take_unfitting(LinkState& s, const Pending& p, const std::uint8_t* buf, const Datagram& d,
                    bool waiting, bool late, Receipt& r) {
    const bool fits = s.shape.fits(p.kind, p.address, buf, d.length);
    if (!waiting && !late) bump(counters().unfitting_dropped);
    if (late && fits && p.kind == ExchangeKind::Read) {
        // Most likely this read's own reply, come after its wait; but a late reply of another
        // read of the register fits as well. The read is owed all the same, and the datagram
        // sorted like any stray: a witness of the read tells which it was.
        s.history.owe(p.kind, history_key(s, p.address), p.sent_mono_us, p.keys);
        r.late_own = true;
        note_stray(s, buf, d, r, nullptr);
        came_late(s, p, d);
        return true;
    }
    if (late && fits) {
        // Most likely this request's own reply, come after its wait: no debt is left.
        bump(counters().stale_discarded);
        bump(counters().late_replies);
        came_late(s, p, d);
        r.late_own = true;
        return true;
    }
    note_stray(s, buf, d, r, &p);
    return late;
}

// Judged by the arrival stamp: a reply that came after the spin, found only because this thread
// was kept from running meanwhile, is a miss.
void count_spin(LinkState& s, const Pending& p, const Datagram& d) {
    const std::uint64_t spin_ns = std::uint64_t{g_spin_us.load(std::memory_order_relaxed)} * 1000u;
    if (d.arrived_real_ns == 0 || d.arrived_real_ns <= p.sent_real_ns + spin_ns) {
        s.spin_misses = 0;
        bump(counters().spin_caught);
    } else if (++s.spin_misses >= kSpinMissesToRest) {
        s.spin_misses = 0;
        s.spin_rest = kSpinRestExchanges;
    }
}

}  // namespace

Receipt receive_reply(LinkState& s, const Pending& p, std::uint8_t* reply, std::size_t size) {
    Receipt r;
    std::uint8_t buf[kReceiveBuffer];
    bool spinning = g_spin_us.load(std::memory_order_relaxed) > 0 && s.spin_rest == 0;
    if (s.spin_rest > 0) --s.spin_rest;
    const std::uint64_t deadline_real_ns =
        p.sent_real_ns + (p.deadline_us - p.sent_mono_us) * 1000u;
    Datagram d;
    while (next_datagram(s, p, spinning, buf, d)) {
        if (!from_device(s, d)) {
            bump(counters().foreign_dropped);
            continue;
        }
        if (d.arrived_real_ns == 0) s.stamped = false;
        if (take_expected(s, buf, d)) continue;
        if (p.behind != nullptr && d.arrived_real_ns >= p.behind->sent_real_ns &&
            s.shape.fits(p.behind->kind, p.behind->address, buf, d.length)) {
            r.probe_answered = true;
            if (d.arrived_real_ns <= deadline_real_ns)
                measure(s, p.behind->sent_real_ns, d.arrived_real_ns);
            return r;
        }
        const bool waiting = d.arrived_real_ns != 0 && d.arrived_real_ns < p.sent_real_ns;
        const bool late = d.arrived_real_ns != 0 ? d.arrived_real_ns > deadline_real_ns
                                                 : monotonic_us() > p.deadline_us;
        if (waiting || late || !s.shape.fits(p.kind, p.address, buf, d.length)) {
            if (take_unfitting(s, p, buf, d, waiting, late, r)) return r;
            continue;
        }
        if (spinning) count_spin(s, p, d);
        expected_missed(s);  // in order, it would have come before this reply
        if (!s.port_learnt) {
            s.peer.sin_port = d.from.sin_port;  // a device may answer from another port
            s.port_learnt = true;
        }
        const std::size_t n = std::min(d.length, size);
        std::memcpy(reply, buf, n);
        // A reply taken while another is owed may be that one: it teaches only what it shows
        // by naming this register.
        s.shape.learn(p.kind, p.address, buf, d.length, s.history.owes_any(monotonic_us()));
        r.length = static_cast<ssize_t>(n);
        r.arrived_real_ns = d.arrived_real_ns;
        return r;
    }
    return r;
}

namespace {

// Takes every datagram that comes before deadline: the expected reply as such, others as strays
// sorted into r. With until_expected, stops once the expected reply came.
void watch(LinkState& s, std::uint64_t deadline, Receipt& r, bool until_expected) {
    std::uint8_t buf[kReceiveBuffer];
    const auto go_on = [&] { return !until_expected || s.expected.armed; };
    while (go_on() && wait_readable(s.fd, deadline)) {
        Datagram d;
        while (go_on() && take_datagram(s.fd, buf, sizeof buf, d)) {
            if (!from_device(s, d)) {
                bump(counters().foreign_dropped);
            } else if (!take_expected(s, buf, d)) {
                note_stray(s, buf, d, r, nullptr);
            }
        }
    }
}

}  // namespace

void settle_expected(LinkState& s, Receipt& r) {
    constexpr std::uint64_t kMinUs = 50;
    constexpr std::uint64_t kMaxUs = 2000;
    const std::uint64_t rtt = s.wait.smoothed_us();
    watch(s, monotonic_us() + std::clamp<std::uint64_t>(3 * rtt, kMinUs, kMaxUs), r, true);
    expected_missed(s);
}

void settle(LinkState& s, std::uint64_t us, Receipt& r) {
    watch(s, monotonic_us() + us, r, false);
}

}  // namespace kestrel::link_detail
