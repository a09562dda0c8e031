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

std::size_t encode_request(ExchangeKind kind, std::uint16_t address, const RegisterWord& word,
                           std::uint8_t* out) {
    const bool read = kind == ExchangeKind::Read;
    out[0] = read ? kReadFlag : kWriteFlag;
    out[1] = 0x00;
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address & 0xFF);
    if (read) {
        std::fill(out + kRegisterValueAt, out + kReadRequestSize, std::uint8_t{0});
        return kReadRequestSize;
    }
    std::memcpy(out + kRegisterValueAt, word.data(), word.size());
    std::fill(out + kRegisterValueAt + word.size(), out + kWriteRequestSize, std::uint8_t{0});
    return kWriteRequestSize;
}

}  // namespace link_detail

namespace {

using namespace link_detail;

constexpr const char* kReadAckError = "READ Reg32, ACK error! ";
constexpr const char* kWriteAckError = "WRITE Reg32, ACK error! ";
constexpr int kProbeTries = 4;

void add_strays(StrayCount& to, const StrayCount& from) {
    to.reads = static_cast<std::uint8_t>(to.reads + from.reads);
    to.others = static_cast<std::uint8_t>(to.others + from.others);
}

ExchangeResult exchange(ExchangeKind kind, std::uint16_t address, const std::uint8_t* request,
                        std::size_t request_size, ReadKeys keys = {}) {
    LinkState& s = state();
    if (s.fd < 0) return ExchangeResult{};
    if (!s.stamped)
        bump(counters().stale_discarded, static_cast<std::uint64_t>(discard_waiting(s.fd)));
    Receipt r;
    // A reply of this register still expected and this one's own could not be told apart.
    if (s.expected.armed && kind == ExchangeKind::Read &&
        history_key(s, s.expected.address) == history_key(s, address))
        settle_expected(s, r);
    const std::uint64_t start_ns = monotonic_ns();
    const std::uint32_t wait_us = full_reply_wait() ? kFirstWaitUs : s.wait.wait_us();
    const std::uint32_t nudge_us = nudge_after_us(s, wait_us);
    const bool expecting = s.expected.armed;
    Pending p{kind, address, realtime_ns(), start_ns / 1000u, start_ns / 1000u + wait_us, keys};
    if (nudge_us != 0) p.stop_us = p.sent_mono_us + nudge_us;
    std::uint8_t reply[kReadRequestSize] = {};
    const std::size_t size = kind == ExchangeKind::Read ? kReadRequestSize : kWriteRequestSize;
    if (send_datagram(s.fd, s.peer, request, request_size)) {
        // Strays are counted over the whole exchange: before the send, and before a nudge.
        StrayCount seen = r.strays;
        r = receive_reply(s, p, reply, size);
        if (p.stop_us != 0 && r.length < 0 && !r.late_own) {
            add_strays(seen, r.strays);
            r = nudge(s, p, request, request_size, reply, size);
        }
        add_strays(r.strays, seen);
    }
    // An expected reply that did not come before this silence is not coming in order either.
    if (expecting && r.length < 0) expected_missed(s);
    const ExchangeResult e = judge(s, p, r, reply, true);
    s.silent_run = e.status == ExchangeStatus::NoReply ? s.silent_run + 1 : 0;
    bump(counters().exchanges);
    bump(counters().exchange_ns, monotonic_ns() - start_ns);
    return e;
}

ExchangeResult read_locked(std::uint16_t address, ReadKeys keys = {}) {
    std::uint8_t request[kReadRequestSize];
    const std::size_t n = encode_request(ExchangeKind::Read, address, RegisterWord{}, request);
    return exchange(ExchangeKind::Read, address, request, n, keys);
}

}  // namespace

ExchangeResult read_exchange(std::uint16_t address, ReadKeys keys) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ExchangeResult e = read_locked(address, keys);
    note_exchange(e);
    return e;
}

ExchangeResult write_exchange(std::uint16_t address, const RegisterWord& word) {
    std::uint8_t request[kReadRequestSize];
    const std::size_t n = encode_request(ExchangeKind::Write, address, word, request);
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ExchangeResult e = exchange(ExchangeKind::Write, address, request, n);
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
        add_strays(probe.strays, e.strays);
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

void link_owe_contradicted_read(std::uint16_t address, std::span<const RegisterWord> words) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    LinkState& s = state();
    s.history.owe_contradicted(history_key(s, address), words, monotonic_us());
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
