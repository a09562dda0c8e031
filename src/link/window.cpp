#include "link/window.h"

#include <algorithm>
#include <array>
#include <vector>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/link_watch.h"
#include "link/reply_alignment.h"
#include "link/transport.h"
#include "platform/ticks.h"
#include "platform/trace.h"
#include "protocol/host_regs.h"

namespace kestrel {
namespace {

using namespace link_detail;

constexpr int kDrainProbes = 4;

WindowSize& window_size() {
    static WindowSize size;
    return size;
}

// Replies can be taken in order with several requests in flight: the device has shown that it
// echoes the register and which lengths it uses, and the socket stamps arrivals.
bool replies_placeable(const LinkState& s) {
    return s.fd >= 0 && s.stamped && s.shape.echoes() && s.shape.lengths_known();
}

// One request of the run sent: what it asked and when.
Pending send_request(LinkState& s, const WindowRequest& q) {
    std::uint8_t request[kReadRequestSize];
    const std::size_t n = encode_request(q.kind, q.address, q.word, request);
    const std::uint64_t now_ns = monotonic_ns();
    const Pending p{
        q.kind, q.address, realtime_ns(), now_ns / 1000u, now_ns / 1000u + s.wait.wait_us(),
        q.keys};
    (void)send_datagram(s.fd, s.peer, request, n);
    return p;
}

// The next datagram from the device, waiting until deadline_us.
bool next_from_device(LinkState& s, std::uint64_t deadline_us, std::uint8_t* buf, Datagram& d) {
    for (;;) {
        while (take_datagram(s.fd, buf, kReceiveBuffer, d)) {
            if (from_device(s, d)) return true;
            bump(counters().foreign_dropped);
        }
        if (!wait_readable(s.fd, deadline_us)) return false;
    }
}

enum class Take { Fits, Misfit, Silent };

// The next datagram taken as the reply to p, when it is that. A datagram that came before p
// went out, after its wait, or of another shape is a misfit, kept in buf and d.
Take take_reply(LinkState& s, const Pending& p, std::uint8_t* buf, Datagram& d, Receipt& r) {
    if (!next_from_device(s, p.deadline_us, buf, d)) return Take::Silent;
    const std::uint64_t deadline_real_ns =
        p.sent_real_ns + (p.deadline_us - p.sent_mono_us) * 1000u;
    const bool early = d.arrived_real_ns < p.sent_real_ns;
    const bool late = d.arrived_real_ns > deadline_real_ns;
    if (early || !s.shape.fits(p.kind, p.address, buf, d.length)) return Take::Misfit;
    if (late) {
        r.late_own = true;  // its own reply, after its wait: no debt is left
        bump(counters().late_replies);
        return Take::Silent;
    }
    r.length = static_cast<ssize_t>(std::min<std::size_t>(d.length, kReadRequestSize));
    r.arrived_real_ns = d.arrived_real_ns;
    return Take::Fits;
}

// After a break: the replies of requests first..sent-1 may still be on their way, and a misfit
// datagram (held in buf) may be one of them. Every datagram that comes is kept until a probe
// of HOST_CTRL, answered after all of them, ends the drain; then they are paired with the
// requests in order (align_replies), so that a copy counts as one datagram left over and not
// as replies taken two requests on. The run may hold probes of HOST_CTRL of its own (one
// closing each page's pass): a reply of that shape is the drain's only once more of them came
// than the run has such probes. Requests left without a reply are owed; a datagram left over
// marks the link as making copies.
class Drain {
  public:
    Drain(LinkState& s, std::span<const Pending> pending, std::size_t first)
        : s_(s), pending_(pending.subspan(first)), first_(first) {
        for (const Pending& p : pending_)
            if (is_probe(p)) ++probes_in_run_;
    }

    void keep(const std::uint8_t* buf, const Datagram& d) {
        if (probe_shaped(buf, d)) ++probe_replies_;
        Got g;
        std::copy_n(buf, std::min(d.length, g.bytes.size()), g.bytes.begin());
        g.length = d.length;
        g.arrived_real_ns = d.arrived_real_ns;
        got_.push_back(g);
    }

    // Probes until one gets its own reply (in_step) or kDrainProbes went unanswered.
    bool probe() {
        const WindowRequest q{ExchangeKind::Read, HOST_CTRL, {}};
        std::uint8_t buf[kReceiveBuffer];
        for (int attempt = 0; attempt < kDrainProbes; ++attempt) {
            const Pending p = send_request(s_, q);
            bump(counters().exchanges);
            bump(counters().resyncs);
            Datagram d;
            while (next_from_device(s_, p.deadline_us, buf, d)) {
                if (probe_shaped(buf, d) && d.arrived_real_ns >= p.sent_real_ns &&
                    probe_replies_ + 1 > probes_in_run_) {
                    settle();  // the device answers in order: nothing else is on its way
                    return true;
                }
                keep(buf, d);
            }
            bump(counters().silent);
            bump(counters().missing);
            s_.wait.timed_out();
        }
        settle();
        return false;
    }

    [[nodiscard]] const ReplyAlignment& alignment() const { return aligned_; }
    // The run's index of a request of the alignment.
    [[nodiscard]] std::size_t index(std::size_t k) const { return first_ + k; }

  private:
    struct Got {
        std::array<std::uint8_t, kReadRequestSize> bytes{};
        std::size_t length = 0;
        std::uint64_t arrived_real_ns = 0;
    };

    static bool is_probe(const Pending& p) {
        return p.kind == ExchangeKind::Read && p.address == HOST_CTRL;
    }
    bool probe_shaped(const std::uint8_t* buf, const Datagram& d) const {
        return s_.shape.fits(ExchangeKind::Read, HOST_CTRL, buf, d.length);
    }

    void settle() {
        aligned_ =
            align_replies(pending_.size(), got_.size(), [this](std::size_t i, std::size_t j) {
                const Pending& p = pending_[i];
                const Got& g = got_[j];
                return g.arrived_real_ns >= p.sent_real_ns &&
                       s_.shape.fits(p.kind, p.address, g.bytes.data(), g.length);
            });
        for (const std::size_t k : aligned_.lost) {
            const Pending& p = pending_[k];
            bump(counters().missing);
            s_.history.owe(p.kind, history_key(s_, p.address), p.sent_mono_us, p.keys);
        }
        if (aligned_.extras > 0) {
            const auto extras = static_cast<std::uint64_t>(aligned_.extras);
            bump(counters().stale_discarded, extras);
            bump(counters().duplicates, extras);
            s_.history.duplicate_seen(monotonic_us());
        }
    }

    LinkState& s_;
    std::span<const Pending> pending_;  // the requests drained, from the run's first
    std::size_t first_;
    std::vector<Got> got_;
    ReplyAlignment aligned_;
    int probes_in_run_ = 0;  // probes of HOST_CTRL among the requests drained
    int probe_replies_ = 0;  // datagrams of their shape that came since the break
};

// The run stopped at request run.answered: a NAK (take Fits), a misfit datagram or a late reply
// (held in buf and d), or silence. Drains what is still on its way and counts what was lost.
void break_run(LinkState& s, std::span<const Pending> pending, Take take, const std::uint8_t* buf,
               const Datagram& d, std::span<ExchangeResult> results, WindowRun& run) {
    run.broken = true;
    bump(counters().window_breaks);
    const std::size_t first = take == Take::Fits ? run.answered + 1 : run.answered;
    // Every request sent from the break on counts as an exchange; the one at the break (unless
    // NAK'd, which was judged) got no reply of its own.
    bump(counters().exchanges, pending.size() - first);
    if (take == Take::Silent && !d.length) {
        const Pending& p = pending[run.answered];
        bump(counters().silent);
        bump(counters().timeout_ns, (p.deadline_us - p.sent_mono_us) * 1000u);
        s.wait.timed_out();
        ++s.silent_run;
    }
    if (take != Take::Fits) note_exchange(results[run.answered]);
    note_anomaly();
    const std::uint64_t drain_start_ns = monotonic_ns();
    Drain drain(s, pending, first);
    if (take != Take::Fits && d.length > 0) drain.keep(buf, d);
    run.in_step = drain.probe();
    bump(counters().drain_ns, monotonic_ns() - drain_start_ns);
    const ReplyAlignment& a = drain.alignment();
    run.lost = static_cast<int>(a.lost.size());
    run.lost_at_tail = !a.lost.empty() && drain.index(a.lost.back()) + 1 == pending.size();
    run.first_lost = a.lost.empty() ? 0 : drain.index(a.lost.front());
    run.lost_in_a_row = a.lost_in_a_row;
    run.extras = a.extras;
}

}  // namespace

WindowSetting set_link_window(WindowSetting setting) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const WindowSetting previous = window_size().setting();
    window_size() = WindowSize(setting);
    return previous;
}

std::size_t link_window_now() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return replies_placeable(state()) ? window_size().now() : 1;
}

bool link_window_in_use() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    if (!replies_placeable(state())) return false;
    return window_size().now() > 1 || window_size().setting().adaptive;
}

WindowRun exchange_window(std::span<const WindowRequest> requests,
                          std::span<ExchangeResult> results) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    LinkState& s = state();
    expected_missed(s);  // a run takes no reply but its own
    WindowRun run;
    run.window = link_window_now();
    const std::size_t n = std::min(requests.size(), results.size());
    ExchangeResult none;
    none.status = ExchangeStatus::NoReply;
    std::fill(results.begin(), results.end(), none);
    if (s.fd < 0) {
        std::fill(results.begin(), results.end(), ExchangeResult{});
        run.broken = n > 0;
        return run;
    }
    const std::uint64_t start_ns = monotonic_ns();
    bump(counters().window_runs);
    std::vector<Pending> pending;
    pending.reserve(n);
    std::uint8_t buf[kReceiveBuffer];
    Datagram d;
    Take take = Take::Fits;
    while (run.answered < n) {
        while (pending.size() < n && pending.size() - run.answered < run.window)
            pending.push_back(send_request(s, requests[pending.size()]));
        Receipt r;
        d = Datagram{};
        take = take_reply(s, pending[run.answered], buf, d, r);
        if (take != Take::Fits) break;
        ExchangeResult& e = results[run.answered];
        e = judge(s, pending[run.answered], r, buf, false);
        s.silent_run = 0;
        bump(counters().exchanges);
        note_exchange(e);
        if (e.status != ExchangeStatus::Clean) break;
        ++run.answered;
    }
    if (run.answered < n) break_run(s, pending, take, buf, d, results, run);
    const std::size_t before = window_size().now();
    window_size().after(run);
    if (window_size().now() < before) {
        bump(counters().window_halvings);
        tracef("window: losses look like a full receive queue; %zu requests in flight, now %zu",
               before, window_size().now());
    }
    bump(counters().exchange_ns, monotonic_ns() - start_ns);
    return run;
}

}  // namespace kestrel
