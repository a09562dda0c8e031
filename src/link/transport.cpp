#include "link/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/ticks.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr const char* kHandshakeText = "serconnectokornot";
constexpr std::string_view kHandshakeToken = "connectok";
constexpr const char* kReadAckError = "READ Reg32, ACK error! ";
constexpr const char* kWriteAckError = "WRITE Reg32, ACK error! ";

// The link state. Guarded by link_lock() for the exchanges; open_link swaps it under the lock.
struct LinkState {
    int fd = -1;
    sockaddr_in peer{};
    // After an exchange timed out, its reply may still be on the way: until this time the
    // next exchange first drains the socket, so that reply is never taken for its own.
    std::uint64_t quarantine_until_us = 0;
    // The spin pays only while the device answers within it: after kSpinMissesToRest misses in
    // a row, the next kSpinRestExchanges receives go straight to the blocking wait.
    int spin_misses = 0;
    int spin_rest = 0;
};

constexpr int kSpinMissesToRest = 8;
constexpr int kSpinRestExchanges = 1024;

LinkState& state() {
    static LinkState s;
    return s;
}

struct Counters {
    std::atomic<std::uint64_t> exchanges{0};
    std::atomic<std::uint64_t> unacknowledged{0};
    std::atomic<std::uint64_t> stale_discarded{0};
    std::atomic<std::uint64_t> foreign_dropped{0};
    std::atomic<std::uint64_t> spin_caught{0};
    std::atomic<std::uint64_t> exchange_ns{0};
};

Counters& counters() {
    static Counters c;
    return c;
}

std::atomic<std::uint32_t> g_spin_us{kDefaultReceiveSpinUs};

thread_local LinkWatch* t_innermost_watch = nullptr;
thread_local ExchangeStatus t_last_status = ExchangeStatus::NoLink;

void set_timeouts(int fd) {
    timeval tv{};
    tv.tv_sec = 0;
    tv.tv_usec = kLinkTimeoutMs * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Drops every datagram already waiting, so a reply that came after its exchange's time-out is
// never taken for the reply of the next one.
void discard_stale(int fd) {
    std::uint8_t scratch[128];
    while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
        counters().stale_discarded.fetch_add(1, std::memory_order_relaxed);
    }
}

bool send_to_peer(int fd, const sockaddr_in& peer, const void* data, std::size_t size) {
    const ssize_t sent =
        sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    return sent == static_cast<ssize_t>(size);
}

void set_receive_timeout(int fd, std::uint64_t us) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(us / 1000000u);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000u);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// True when a datagram from `from` may be taken as the reply; moves the peer to its port.
bool accept_sender(const sockaddr_in& from, sockaddr_in& peer) {
    if (from.sin_family == AF_INET && from.sin_addr.s_addr == peer.sin_addr.s_addr) {
        peer.sin_port = from.sin_port;
        return true;
    }
    counters().foreign_dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

// Receives one datagram from the peer's host within the exchange's 50 ms, cut to `size` bytes.
// Datagrams from any other host are dropped and the wait goes on. A datagram from another port
// of the peer's host moves the peer to that port. Returns the length received, or -1.
//
// The receive first spins on the non-blocking socket for a few microseconds, which saves the
// sleep and wake-up when the device answers fast (each try yields the CPU, so a peer that
// shares this core still runs at once). Then it falls back to one blocking recvfrom under the
// socket's time-out, cut to what is left of the 50 ms and restored afterwards. A spin that
// keeps missing rests for a while (see LinkState), so a slow device costs no CPU.
ssize_t receive_from_peer(LinkState& s, std::uint8_t* buf, std::size_t size) {
    constexpr std::uint64_t kTimeoutUs = static_cast<std::uint64_t>(kLinkTimeoutMs) * 1000u;
    const int fd = s.fd;
    sockaddr_in& peer = s.peer;
    std::uint32_t spin_us = g_spin_us.load(std::memory_order_relaxed);
    if (s.spin_rest > 0) {
        --s.spin_rest;
        spin_us = 0;
    }
    const std::uint64_t start = monotonic_us();
    const std::uint64_t deadline = start + kTimeoutUs;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;

    if (spin_us > 0) {
        const std::uint64_t spin_until = std::min(start + spin_us, deadline);
        do {
            from_len = sizeof from;
            const ssize_t got = recvfrom(fd, buf, size, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (got >= 0 && accept_sender(from, peer)) {
                s.spin_misses = 0;
                counters().spin_caught.fetch_add(1, std::memory_order_relaxed);
                return got;
            }
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
            sched_yield();
        } while (monotonic_us() < spin_until);
        if (++s.spin_misses >= kSpinMissesToRest) {
            s.spin_misses = 0;
            s.spin_rest = kSpinRestExchanges;
        }
    }

    bool shortened = false;
    ssize_t result = -1;
    for (bool first = spin_us == 0;; first = false) {
        if (!first) {
            const std::uint64_t now = monotonic_us();
            if (now >= deadline) break;
            set_receive_timeout(fd, deadline - now);
            shortened = true;
        }
        from_len = sizeof from;
        const ssize_t got =
            recvfrom(fd, buf, size, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got >= 0) {
            // The socket's time-out runs on the kernel's coarse timer; a datagram taken after
            // the 50 ms is late, whatever let it through.
            if (monotonic_us() > deadline) {
                counters().stale_discarded.fetch_add(1, std::memory_order_relaxed);
                break;
            }
            if (accept_sender(from, peer)) {
                result = got;
                break;
            }
            continue;
        }
        if (errno != EINTR) break;  // time-out or error
    }
    if (shortened) set_receive_timeout(fd, kTimeoutUs);
    return result;
}

// Waits out the rest of a quarantine, dropping whatever arrives meanwhile.
void sit_out_quarantine(LinkState& s) {
    std::uint8_t scratch[128];
    for (std::uint64_t now = monotonic_us(); now < s.quarantine_until_us; now = monotonic_us()) {
        pollfd pfd{s.fd, POLLIN, 0};
        const std::uint64_t left = s.quarantine_until_us - now;
        timespec ts{static_cast<time_t>(left / 1000000u),
                    static_cast<long>((left % 1000000u) * 1000u)};
        if (ppoll(&pfd, 1, &ts, nullptr) > 0 && recv(s.fd, scratch, sizeof scratch, 0) >= 0) {
            counters().stale_discarded.fetch_add(1, std::memory_order_relaxed);
        }
    }
    s.quarantine_until_us = 0;
}

ssize_t send_and_receive(LinkState& s, const std::uint8_t* request, std::size_t request_size,
                         std::uint8_t* reply, std::size_t reply_size) {
    if (s.fd < 0) return -1;
    if (s.quarantine_until_us != 0) sit_out_quarantine(s);
    discard_stale(s.fd);
    if (!send_to_peer(s.fd, s.peer, request, request_size)) return -1;
    const ssize_t got = receive_from_peer(s, reply, reply_size);
    if (got < 0) s.quarantine_until_us = monotonic_us() + kLateReplyGraceMs * 1000u;
    return got;
}

// One request and its reply, under the link lock. Returns the reply length or -1.
ssize_t exchange(const std::uint8_t* request, std::size_t request_size, std::uint8_t* reply,
                 std::size_t reply_size) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const ssize_t got = send_and_receive(state(), request, request_size, reply, reply_size);
    Counters& c = counters();
    c.exchanges.fetch_add(1, std::memory_order_relaxed);
    c.exchange_ns.fetch_add(
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()),
        std::memory_order_relaxed);
    return got;
}

}  // namespace

LinkWatch::LinkWatch() : outer_(t_innermost_watch) {
    t_innermost_watch = this;
}

LinkWatch::~LinkWatch() {
    t_innermost_watch = outer_;
}

void note_exchange(ExchangeStatus status) {
    t_last_status = status;
    const bool silent = status == ExchangeStatus::NoReply || status == ExchangeStatus::NoLink;
    for (LinkWatch* w = t_innermost_watch; w != nullptr; w = w->outer_) {
        ++w->exchanges_;
        if (status != ExchangeStatus::Clean) ++w->unclean_;
        if (silent) {
            ++w->silent_;
            ++w->silent_run_;
        } else {
            w->silent_run_ = 0;
        }
    }
}

ExchangeStatus last_exchange_status() {
    return t_last_status;
}

std::recursive_mutex& link_lock() {
    static std::recursive_mutex lock;
    return lock;
}

bool open_link(const std::string& server_ip, int server_port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0) set_timeouts(fd);
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

bool connect_handshake() {
    LinkState& s = state();
    if (s.fd < 0) return false;
    char text[kHandshakeReplySize] = {};
    std::strncpy(text, kHandshakeText, sizeof text - 1);
    discard_stale(s.fd);
    send_to_peer(s.fd, s.peer, text, std::strlen(text) + 1);

    std::uint8_t reply[kHandshakeReplySize] = {};
    const ssize_t got = receive_from_peer(s, reply, sizeof reply);
    const std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (length > 0 && reply[0] == 'q') {
        const char quit[2] = {'q', '\0'};
        send_to_peer(s.fd, s.peer, quit, sizeof quit);
        std::fputs("Chat end!\n", stdout);
        std::fflush(stdout);
    }
    const void* nul = std::memchr(reply, '\0', length);
    const std::size_t text_length =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - reply) : length;
    const std::string_view reply_text(reinterpret_cast<const char*>(reply), text_length);
    const std::size_t at = reply_text.find(kHandshakeToken);
    return at != std::string_view::npos && at >= 1;
}

bool read_reg(std::uint16_t address, RegisterWord& word) {
    std::uint8_t request[kReadRequestSize] = {};
    request[0] = 0x80;
    request[2] = static_cast<std::uint8_t>(address >> 8);
    request[3] = static_cast<std::uint8_t>(address & 0xFF);
    std::uint8_t reply[kReadRequestSize] = {};

    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ssize_t got = exchange(request, sizeof request, reply, sizeof reply);
    bool acked = false;
    if (got >= 12) {
        std::memcpy(word.data(), reply + 4, word.size());
        acked = reply[1] == kAck;
    } else {
        word.fill(0);
    }
    note_exchange(state().fd < 0 ? ExchangeStatus::NoLink
                  : got < 0     ? ExchangeStatus::NoReply
                  : acked       ? ExchangeStatus::Clean
                                : ExchangeStatus::Nak);
    if (!acked) {
        counters().unacknowledged.fetch_add(1, std::memory_order_relaxed);
        trace(kReadAckError);
    }
    return acked;
}

bool write_reg(std::uint16_t address, const RegisterWord& word) {
    std::uint8_t request[kWriteRequestSize] = {};
    request[2] = static_cast<std::uint8_t>(address >> 8);
    request[3] = static_cast<std::uint8_t>(address & 0xFF);
    std::memcpy(request + 4, word.data(), word.size());
    std::uint8_t reply[kWriteRequestSize] = {};

    std::lock_guard<std::recursive_mutex> guard(link_lock());
    const ssize_t got = exchange(request, sizeof request, reply, sizeof reply);
    const bool acked = got >= 2 && reply[1] == kAck;
    note_exchange(state().fd < 0 ? ExchangeStatus::NoLink
                  : got < 0     ? ExchangeStatus::NoReply
                  : acked       ? ExchangeStatus::Clean
                                : ExchangeStatus::Nak);
    if (!acked) {
        counters().unacknowledged.fetch_add(1, std::memory_order_relaxed);
        trace(kWriteAckError);
    }
    return acked;
}

PeerAddress peer_address() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    return PeerAddress{state().peer.sin_addr.s_addr, state().peer.sin_port};
}

void set_peer_address(Ipv4Net addr, std::uint16_t port_host_order) {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    state().peer.sin_family = AF_INET;
    state().peer.sin_addr.s_addr = addr;
    state().peer.sin_port = htons(port_host_order);
}

LinkStats link_stats() {
    Counters& c = counters();
    return LinkStats{c.exchanges.load(),       c.unacknowledged.load(), c.stale_discarded.load(),
                     c.foreign_dropped.load(), c.spin_caught.load(),    c.exchange_ns.load()};
}

std::uint32_t set_receive_spin_us(std::uint32_t us) {
    return g_spin_us.exchange(us);
}

}  // namespace kestrel
