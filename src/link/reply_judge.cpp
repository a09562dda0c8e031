#include <algorithm>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "platform/ticks.h"

namespace kestrel::link_detail {
namespace {

// How long to watch for the reply behind a copy: a few of the device's round trips.
constexpr std::uint64_t kSettleMinUs = 50;
constexpr std::uint64_t kSettleMaxUs = 2000;

// A read reply with the very bytes of the read just before it, of the same register: a copy of
// that reply would look exactly like it, with this request's own reply right behind.
bool repeats_last(const LinkState& s, const Pending& p, const Receipt& r, const std::uint8_t* reply,
                  std::uint64_t now_us) {
    const auto length = static_cast<std::size_t>(r.length);
    return p.kind == ExchangeKind::Read && s.last.read && s.last.address == p.address &&
           s.last.length == length && now_us - s.last.at_us < kCopyWindowUs &&
           std::equal(reply, reply + length, s.last.bytes.begin());
}

void remember(LinkState& s, const Pending& p, const Receipt& r, const std::uint8_t* reply,
              std::uint64_t now_us) {
    s.last.read = p.kind == ExchangeKind::Read;
    s.last.address = p.address;
    s.last.length = static_cast<std::size_t>(r.length);
    s.last.at_us = now_us;
    std::copy_n(reply, s.last.length, s.last.bytes.begin());
}

}  // namespace

ExchangeResult judge_silence(LinkState& s, const Pending& p, const Receipt& r) {
    ExchangeResult e;
    e.status = ExchangeStatus::NoReply;
    e.strays = r.strays;
    const std::uint64_t now_us = monotonic_us();
    if (!r.late_own) s.history.owe(p.kind, history_key(s, p.address), p.sent_mono_us, p.keys);
    s.timed_out_sent_us = p.sent_mono_us;
    s.wait.timed_out();
    s.last = LastReply{};
    bump(counters().silent);
    bump(counters().missing);
    bump(counters().timeout_ns, (now_us - p.sent_mono_us) * 1000u);
    return e;
}

ExchangeResult judge(LinkState& s, const Pending& p, Receipt& r, const std::uint8_t* reply,
                     bool watch_for_copy) {
    if (r.length < 0) return judge_silence(s, p, r);
    const std::uint64_t now_us = monotonic_us();
    if (watch_for_copy && !r.strays.any() && repeats_last(s, p, r, reply, now_us)) {
        const std::uint64_t rtt = s.wait.smoothed_us();
        settle(s, std::clamp<std::uint64_t>(3 * rtt, kSettleMinUs, kSettleMaxUs), r);
    }
    s.timed_out_sent_us = 0;
    ExchangeResult e;
    e.strays = r.strays;
    const auto length = static_cast<std::size_t>(r.length);
    const std::uint32_t reg = history_key(s, p.address);
    if (p.kind == ExchangeKind::Read) e.word = value_of(reply, length);
    const bool acked = length >= 2 && reply[1] == kAck;
    e.status = !acked           ? ExchangeStatus::Nak
               : r.strays.any() ? ExchangeStatus::Anomalous
                                : ExchangeStatus::Clean;
    if (!acked) bump(counters().naks);
    const bool owed = s.history.owes(p.kind, reg, now_us);
    if (r.strays.any()) {
        e.doubt = Doubt::Stray;
    } else if (p.kind == ExchangeKind::Read && owed && reg == ReplyShape::kAnyRegister) {
        e.doubt = Doubt::Owed;  // without an echo, a late reply of any register fits
    } else if (p.kind == ExchangeKind::Read) {
        e.doubt = s.history.read_doubt(reg, e.word, now_us, p.keys);
    } else if (owed) {
        e.doubt = Doubt::Owed;
    }
    if (owed && e.doubt == Doubt::Owed) s.history.settle_owed(p.kind, reg);
    if (p.kind == ExchangeKind::Read) e.repeats_last = s.history.repeats_last(reg, e.word);
    s.history.taken(p.kind, reg, e.word, now_us, p.keys, e.doubt);
    remember(s, p, r, reply, now_us);
    // Karn: only a reply that can be nobody else's is a measurement.
    if (e.doubt == Doubt::None && !owed && !r.ambiguous && r.arrived_real_ns > p.sent_real_ns)
        s.wait.measured(static_cast<std::uint32_t>((r.arrived_real_ns - p.sent_real_ns) / 1000u));
    return e;
}

}  // namespace kestrel::link_detail
