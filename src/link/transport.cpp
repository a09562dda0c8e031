#include "link/transport.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/udp_socket.h"
#include "platform/ticks.h"
#include "platform/trace.h"
#include "protocol/host_regs.h"

namespace kestrel {
namespace link_detail {

LinkState& state() {
    static LinkState s;
    return s;
}

std::atomic<std::uint32_t> g_spin_us{kDefaultReceiveSpinUs};

}  // namespace link_detail

namespace {

using namespace link_detail;

constexpr const char* kReadAckError = "READ Reg32, ACK error! ";
constexpr const char* kWriteAckError = "WRITE Reg32, ACK error! ";
constexpr int kProbeTries = 4;
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

ExchangeResult judge_silence(LinkState& s, const Pending& p, const Receipt& r) {
    ExchangeResult e;
    e.status = ExchangeStatus::NoReply;
    e.strays = r.strays;
    const std::uint64_t now_us = monotonic_us();
    if (!r.late_own) s.history.owe(p.kind, history_key(s, p.address), p.sent_mono_us);
    s.wait.timed_out();
    s.last = LastReply{};
    bump(counters().silent);
    bump(counters().timeout_ns, (now_us - p.sent_mono_us) * 1000u);
    return e;
}

// What the reply means, with the link's memory of earlier replies.
ExchangeResult judge(LinkState& s, const Pending& p, Receipt& r, const std::uint8_t* reply) {
    if (r.length < 0) return judge_silence(s, p, r);
    const std::uint64_t now_us = monotonic_us();
    if (!r.strays.any() && repeats_last(s, p, r, reply, now_us)) {
        const std::uint64_t rtt = s.wait.smoothed_us();
        settle(s, std::clamp<std::uint64_t>(3 * rtt, kSettleMinUs, kSettleMaxUs), r);
    }
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
    } else if (p.kind == ExchangeKind::Read && s.history.copy_possible(reg, e.word, now_us)) {
        e.doubt = Doubt::Copy;
    } else if (p.kind == ExchangeKind::Write && owed) {
        e.doubt = Doubt::Owed;
    }
    if (owed && e.doubt == Doubt::Owed) s.history.settle_owed(p.kind, reg);
    if (p.kind == ExchangeKind::Read) e.repeats_last = s.history.repeats_last(reg, e.word);
    s.history.taken(p.kind, reg, e.word, now_us);
    remember(s, p, r, reply, now_us);
    // Karn: only a reply that can be nobody else's is a measurement.
    if (e.doubt == Doubt::None && !owed && r.arrived_real_ns > p.sent_real_ns)
        s.wait.measured(static_cast<std::uint32_t>((r.arrived_real_ns - p.sent_real_ns) / 1000u));
    return e;
}

ExchangeResult exchange(ExchangeKind kind, std::uint16_t address, const std::uint8_t* request,
                        std::size_t request_size) {
    LinkState& s = state();
    if (s.fd < 0) return ExchangeResult{};
    if (!s.stamped)
        bump(counters().stale_discarded, static_cast<std::uint64_t>(discard_waiting(s.fd)));
    const std::uint64_t start_ns = monotonic_ns();
    const Pending p{kind, address, realtime_ns(), start_ns / 1000u,
                    start_ns / 1000u + s.wait.wait_us()};
    std::uint8_t reply[kReadRequestSize] = {};
    Receipt r;
    if (send_datagram(s.fd, s.peer, request, request_size)) {
        r = receive_reply(s, p, reply,
                          kind == ExchangeKind::Read ? kReadRequestSize : kWriteRequestSize);
    }
    const ExchangeResult e = judge(s, p, r, reply);
    s.silent_run = e.status == ExchangeStatus::NoReply ? s.silent_run + 1 : 0;
    bump(counters().exchanges);
    bump(counters().exchange_ns, monotonic_ns() - start_ns);
    return e;
}

ExchangeResult read_locked(std::uint16_t address) {
    const std::uint8_t request[kReadRequestSize] = {kReadFlag, 0x00,
                                                    static_cast<std::uint8_t>(address >> 8),
                                                    static_cast<std::uint8_t>(address & 0xFF)};
    return exchange(ExchangeKind::Read, address, request, sizeof request);
}

}  // namespace

ExchangeResult read_exchange(std::uint16_t address) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ExchangeResult e = read_locked(address);
    note_exchange(e);
    return e;
}

ExchangeResult write_exchange(std::uint16_t address, const RegisterWord& word) {
    std::uint8_t request[kWriteRequestSize] = {kWriteFlag, 0x00,
                                               static_cast<std::uint8_t>(address >> 8),
                                               static_cast<std::uint8_t>(address & 0xFF)};
    std::memcpy(request + kRegisterValueAt, word.data(), word.size());
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ExchangeResult e = exchange(ExchangeKind::Write, address, request, sizeof request);
    note_exchange(e);
    return e;
}

ExchangeResult read_reg(std::uint16_t address) {
    const ExchangeResult e = read_exchange(address);
    if (e.status != ExchangeStatus::Clean || e.doubt == Doubt::Owed) {
        bump(counters().unacknowledged);
        trace(kReadAckError);
    }
    return e;
}

bool read_reg(std::uint16_t address, RegisterWord& word) {
    const ExchangeResult e = read_reg(address);
    word = e.word;
    return e.status == ExchangeStatus::Clean && e.doubt != Doubt::Owed;
}

bool write_reg(std::uint16_t address, const RegisterWord& word) {
    const ExchangeResult e = write_exchange(address, word);
    if (e.status == ExchangeStatus::Clean) return true;
    bump(counters().unacknowledged);
    trace(kWriteAckError);
    return false;
}

Probe probe_in_step() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    Probe probe;
    if (state().fd < 0) return probe;
    bump(counters().resyncs);
    for (int attempt = 0; attempt < kProbeTries && !probe.in_step; ++attempt) {
        const ExchangeResult e = read_locked(HOST_CTRL);
        probe.strays.reads = static_cast<std::uint8_t>(probe.strays.reads + e.strays.reads);
        probe.strays.others = static_cast<std::uint8_t>(probe.strays.others + e.strays.others);
        if (e.status == ExchangeStatus::NoReply) break;
        probe.in_step = e.status == ExchangeStatus::Clean;
    }
    if (probe.strays.any() || !probe.in_step) note_anomaly();
    return probe;
}

bool confirm_in_step() {
    const Probe p = probe_in_step();
    return p.in_step && !p.strays.any();
}

std::recursive_mutex& link_lock() {
    static std::recursive_mutex lock;
    return lock;
}

bool open_link(const std::string& server_ip, int server_port) {
    const int fd = open_udp_socket();
    {
        std::lock_guard<std::recursive_mutex> guard(link_lock());
        LinkState& s = state();
        if (s.fd >= 0) close(s.fd);
        s = LinkState{};
        s.fd = fd;
        s.peer.sin_family = AF_INET;
        s.peer.sin_addr.s_addr = inet_addr_compat(server_ip);
        s.peer.sin_port = htons(static_cast<std::uint16_t>(server_port & 0xFFFF));
    }
    trace(server_ip);
    return fd >= 0;
}

void close_link() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    LinkState& s = state();
    if (s.fd >= 0) close(s.fd);
    s = LinkState{};
}

PeerAddress peer_address() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return PeerAddress{state().peer.sin_addr.s_addr, state().peer.sin_port};
}

void set_peer_address(Ipv4Net addr, std::uint16_t port_host_order) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    LinkState& s = state();
    s.peer.sin_family = AF_INET;
    s.peer.sin_addr.s_addr = addr;
    s.peer.sin_port = htons(port_host_order);
    s.port_learnt = false;
}

std::uint32_t set_receive_spin_us(std::uint32_t us) {
    return g_spin_us.exchange(us);
}

bool link_may_make_copies() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return state().history.may_make_copies(monotonic_us());
}

int link_silent_run() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return state().silent_run;
}

std::uint32_t current_reply_wait_us() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return state().wait.wait_us();
}

}  // namespace kestrel
