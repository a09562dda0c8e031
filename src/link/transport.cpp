#include "link/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/ticks.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

constexpr const char* kReadAckError = "READ Reg32, ACK error! ";
constexpr const char* kWriteAckError = "WRITE Reg32, ACK error! ";

constexpr int kSpinMissesToRest = 8;
constexpr int kSpinRestExchanges = 1024;
// Replies seen before the link relies on the echo of the register address or on a length.
constexpr int kEchoVotes = 2;
constexpr int kLengthVotes = 2;
// The side-effect-free register read that proves the link is in step: HOST_CTRL.
constexpr std::uint16_t kProbeRegister = 0x4010;
constexpr int kProbeTries = 4;
// The settle window after a probe's reply: long enough for a duplicate or a reply that is
// still on its way to show, short enough to cost little on a link that is in step.
constexpr std::uint64_t kSettleMinUs = 50;
constexpr std::uint64_t kSettleMaxUs = 2000;
// A reply that repeats the last one for its register and comes later than kSlowRepeatFactor
// median round trips plus kSlowRepeatMarginUs may be a copy of it.
constexpr std::uint64_t kSlowRepeatFactor = 3;
constexpr std::uint64_t kSlowRepeatMarginUs = 100;
// A reply later than kPromptFactor median round trips plus kPromptMarginUs is not prompt.
constexpr std::uint64_t kPromptFactor = 2;
constexpr std::uint64_t kPromptMarginUs = 20;
// A copy of a reply can stand in for a later one only while it is on its way.
constexpr std::uint64_t kDuplicateWindowUs = 5000;
// How long the reply of a request that timed out may still turn up, late.
constexpr std::uint64_t kOwedReplyUs = 1500000;
constexpr std::size_t kMaxOwedReplies = 64;
constexpr std::size_t kReceiveBuffer = 512;

// The link state. Guarded by link_lock() for the exchanges; open_link swaps it under the lock.
struct LinkState {
    int fd = -1;
    sockaddr_in peer{};
    // What the device's replies look like, learnt from the first replies of this link: whether
    // bytes 2-3 echo the register address, and the lengths of read and write replies.
    int echo_seen = 0;
    int echo_missed = 0;
    std::size_t read_len = 0;  // 0 until learnt
    std::size_t write_len = 0;
    std::size_t read_len_candidate = 0;
    std::size_t write_len_candidate = 0;
    int read_len_votes = 0;
    int write_len_votes = 0;
    // After an anomaly the next reply is trusted only once a probe shows the link in step.
    bool need_resync = false;
    // The last reply taken: a copy of it taken again for the same register may be a duplicate.
    std::array<std::uint8_t, kReadRequestSize> last_reply{};
    ssize_t last_length = -1;
    std::uint16_t last_address = 0;
    bool last_was_read = false;
    // The last read reply of each of the last few registers read, and the last write reply,
    // and when each was taken (monotonic). Reads are kept per register: a copy of a register's
    // last reply can come after reads of other registers (a page read's next chunk, read back
    // after a probe and a command), and would hand back that register's old bytes.
    struct Taken {
        std::array<std::uint8_t, kReadRequestSize> bytes{};
        ssize_t length = -1;
        std::uint16_t address = 0;
        std::uint64_t at_us = 0;
    };
    std::array<Taken, 4> last_reads;
    std::size_t last_reads_next = 0;
    Taken last_write;

    // The slot of address's last read reply, or the one its next reply replaces.
    Taken& last_read_of(std::uint16_t address) {
        for (Taken& t : last_reads)
            if (t.length >= 0 && t.address == address) return t;
        Taken& t = last_reads[last_reads_next];
        last_reads_next = (last_reads_next + 1) % last_reads.size();
        t = Taken{};
        return t;
    }
    // Requests that got no reply in time: until kOwedReplyUs after each, a reply that fits the
    // same kind and register may be that request's, come late.
    struct Owed {
        bool read = false;
        std::uint16_t address = 0;
        std::uint64_t until_us = 0;
    };
    std::vector<Owed> owed;
    // Recent round trips, for the settle window.
    std::array<std::uint32_t, 16> rtt_us{};
    std::size_t rtt_next = 0;
    std::size_t rtt_count = 0;
    // The spin pays only while the device answers within it: after kSpinMissesToRest misses in
    // a row, the next kSpinRestExchanges receives go straight to the blocking wait.
    int spin_misses = 0;
    int spin_rest = 0;

    // Whether the kernel stamps every datagram's arrival. While it does, a datagram that was
    // already waiting when a request went out is told by its stamp and needs no drain before
    // the send; a datagram without a stamp brings the drain back for the life of the link.
    bool stamped = true;
    // Whether a stray datagram (a copy, a late or unfitting reply) has shown on this link: only
    // a link that makes them can slip a copy of a reply in for a lost request's.
    bool strays_seen = false;

    bool echoes() const { return echo_seen >= kEchoVotes && echo_missed == 0; }
};

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
    std::atomic<std::uint64_t> silent{0};
    std::atomic<std::uint64_t> naks{0};
    std::atomic<std::uint64_t> unfitting_dropped{0};
    std::atomic<std::uint64_t> resyncs{0};
};

Counters& counters() {
    static Counters c;
    return c;
}

void bump(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
}

std::atomic<std::uint32_t> g_spin_us{kDefaultReceiveSpinUs};

thread_local LinkWatch* t_innermost_watch = nullptr;
thread_local bool t_last_may_be_stale = false;
thread_local bool t_last_may_be_late = false;
thread_local bool t_last_may_be_copy = false;
thread_local bool t_last_copy_possible = false;
thread_local ExchangeStatus t_last_status = ExchangeStatus::NoLink;

void note_anomaly_to_watches() {
    note_link_anomaly();
}

void set_timeouts(int fd) {
    timeval tv{};
    tv.tv_sec = 0;
    tv.tv_usec = kLinkTimeoutMs * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

std::uint64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t realtime_us() {
    return realtime_ns() / 1000u;
}

// One datagram as it came off the socket.
struct Datagram {
    std::size_t length = 0;         // its whole length, also when cut to the buffer
    std::uint64_t arrived_real_ns = 0;  // kernel arrival stamp (CLOCK_REALTIME), 0 if none
    std::uint64_t arrived_real_us = 0;
    sockaddr_in from{};
};

// Takes one datagram without waiting. False when none is waiting (or on an error).
bool take_datagram(int fd, std::uint8_t* buf, std::size_t size, Datagram& d) {
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = &d.from;
    msg.msg_namelen = sizeof d.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0) return false;
    d.length = static_cast<std::size_t>(got);
    d.arrived_real_ns = 0;
    d.arrived_real_us = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            d.arrived_real_ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                                static_cast<std::uint64_t>(ts.tv_nsec);
            d.arrived_real_us = d.arrived_real_ns / 1000u;
        }
    }
    return true;
}

// Waits until a datagram is waiting or the monotonic deadline passes. False at the deadline.
bool wait_readable(int fd, std::uint64_t deadline_us) {
    for (;;) {
        const std::uint64_t now = monotonic_us();
        if (now >= deadline_us) return false;
        const std::uint64_t left = deadline_us - now;
        pollfd pfd{fd, POLLIN, 0};
        timespec ts{static_cast<time_t>(left / 1000000u),
                    static_cast<long>((left % 1000000u) * 1000u)};
        const int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Whether a datagram arrives within us microseconds. A short window is watched awake: a sleep
// that short would end only after the kernel's timer slack (50 us by default), which would make
// every settle window cost several times its length.
constexpr std::uint64_t kAwakeWindowUs = 200;
bool arrives_within(int fd, std::uint64_t us) {
    const std::uint64_t deadline = monotonic_us() + us;
    if (us > kAwakeWindowUs) return wait_readable(fd, deadline);
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) > 0) return true;
        if (monotonic_us() >= deadline) return false;
        sched_yield();
    }
}

// Drops every datagram already waiting; returns how many there were.
int discard_waiting(int fd) {
    std::uint8_t scratch[kReceiveBuffer];
    Datagram d;
    int n = 0;
    while (take_datagram(fd, scratch, sizeof scratch, d))
        ++n;
    return n;
}

bool send_to_peer(int fd, const sockaddr_in& peer, const void* data, std::size_t size) {
    const ssize_t sent =
        sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    return sent == static_cast<ssize_t>(size);
}

bool from_peer_host(const Datagram& d, const sockaddr_in& peer) {
    return d.from.sin_family == AF_INET && d.from.sin_addr.s_addr == peer.sin_addr.s_addr;
}

enum class Kind { Read, Write };

// Whether a datagram from the peer's host can be the reply to a request of kind at address.
bool fits(const LinkState& s, Kind kind, std::uint16_t address, const std::uint8_t* buf,
          const Datagram& d) {
    if (kind == Kind::Read) {
        if (d.length < 12) return false;
        if (s.read_len != 0 && d.length != s.read_len) return false;
    } else {
        if (d.length < 2) return false;
        if (s.write_len != 0 && d.length != s.write_len) return false;
    }
    if (s.echoes()) {
        if (d.length < 4) return false;
        if (buf[2] != static_cast<std::uint8_t>(address >> 8) ||
            buf[3] != static_cast<std::uint8_t>(address & 0xFF)) {
            return false;
        }
    }
    return true;
}

void learn_length(std::size_t length, std::size_t& fixed, std::size_t& candidate, int& votes) {
    if (fixed != 0) return;
    if (length == candidate) {
        if (++votes >= kLengthVotes) fixed = length;
    } else {
        candidate = length;
        votes = 1;
    }
}

// Learns from a reply that the link has trusted.
void learn(LinkState& s, Kind kind, std::uint16_t address, const std::uint8_t* buf,
           const Datagram& d) {
    if (d.length >= 4 && s.echo_missed == 0) {
        const bool echoed = buf[2] == static_cast<std::uint8_t>(address >> 8) &&
                            buf[3] == static_cast<std::uint8_t>(address & 0xFF);
        if (echoed) {
            if (s.echo_seen < kEchoVotes) ++s.echo_seen;
        } else if (!s.echoes()) {
            // A device that does not echo: the resync is then the only protection.
            s.echo_missed = 1;
        }
    }
    if (kind == Kind::Read) {
        learn_length(d.length, s.read_len, s.read_len_candidate, s.read_len_votes);
    } else {
        learn_length(d.length, s.write_len, s.write_len_candidate, s.write_len_votes);
    }
}

void record_rtt(LinkState& s, std::uint64_t us) {
    s.rtt_us[s.rtt_next] = static_cast<std::uint32_t>(std::min<std::uint64_t>(us, kSettleMaxUs));
    s.rtt_next = (s.rtt_next + 1) % s.rtt_us.size();
    ++s.rtt_count;
}

std::uint64_t median_rtt_us(const LinkState& s) {
    std::array<std::uint32_t, 16> rtt = s.rtt_us;
    std::nth_element(rtt.begin(), rtt.begin() + rtt.size() / 2, rtt.end());
    return rtt[rtt.size() / 2];
}

// A repeat of the last reply for the register, much later than this device answers, while a
// copy of that reply could still be on its way: most likely the copy, standing in for the reply
// of a request that was lost (that reply never comes, so no settle window can tell; only the
// time can). Judged only once the link knows the device's round trips.
// The median is taken only when the latency is past the margin alone: a fast link's replies
// are judged without sorting the round trips on every exchange.
bool suspiciously_slow(const LinkState& s, std::uint64_t latency_us, bool repeat) {
    if (!repeat || latency_us <= kSlowRepeatMarginUs) return false;
    if (s.rtt_count < s.rtt_us.size() / 2) return false;
    return latency_us > kSlowRepeatFactor * median_rtt_us(s) + kSlowRepeatMarginUs;
}

bool prompt(const LinkState& s, std::uint64_t latency_us) {
    if (latency_us <= kPromptMarginUs) return true;
    if (s.rtt_count < s.rtt_us.size() / 2) return true;
    return latency_us <= kPromptFactor * median_rtt_us(s) + kPromptMarginUs;
}

// A few of the device's usual round trips: the median of the recent ones, so one slow
// wake-up does not stretch every window after it.
std::uint64_t settle_us(const LinkState& s) {
    return std::clamp<std::uint64_t>(3u * median_rtt_us(s), kSettleMinUs, kSettleMaxUs);
}

// The settle window that closes a span which saw nothing wrong: none, only a look at what is
// already waiting. The device answers in order, so a reply of the span still on its way
// arrives before the probe's own and shows there. After the probe's reply only a copy can
// still come, and no exchange of the span is left to take it: the next exchange finds it
// (waiting, by its stamp or the drain, or not fitting) before it can stand in for anything.
// A window here would cost a round trip on every page and protect nothing.
constexpr std::uint64_t kConfirmSettleUs = 0;

// What one wait for a reply found.
struct Receipt {
    ssize_t length = -1;    // of the reply taken (cut to the buffer), -1 when none
    int unfitting = 0;      // datagrams from the peer's host that did not fit, dropped
    int late = 0;           // datagrams that arrived after the deadline, dropped
    int waiting = 0;        // datagrams that had arrived before the request went out, dropped
    bool error = false;     // the socket failed
    std::uint64_t arrived_real_us = 0;  // the reply's kernel arrival stamp, 0 if none
};

// Waits for this request's reply until kLinkTimeoutMs after it was sent (sent_us monotonic,
// sent_real_us CLOCK_REALTIME, both taken around the send), judged by the kernel's arrival
// stamp, so a reply that came in time is kept even when this thread wakes late. Foreign
// datagrams are dropped silently; unfitting ones are dropped and counted, and the wait goes on.
// A fitting datagram from another port of the peer's host moves the peer there.
//
// The receive first spins on the non-blocking socket for a few microseconds, which saves the
// sleep and wake-up when the device answers fast (each try yields the CPU, so a peer that
// shares this core still runs at once). A spin that keeps missing rests for a while.
// A datagram stamped before waiting_before_ns (CLOCK_REALTIME; 0: none is judged so) was there
// before the request went out: it is dropped and counted, never taken.
Receipt receive_reply(LinkState& s, Kind kind, std::uint16_t address, std::uint8_t* reply,
                      std::size_t reply_size, std::uint64_t sent_us, std::uint64_t sent_real_us,
                      bool spin, std::uint64_t waiting_before_ns = 0) {
    Receipt r;
    std::uint8_t buf[kReceiveBuffer];
    const std::uint64_t deadline_us = sent_us + kLinkTimeoutMs * 1000u;
    const std::uint64_t deadline_real_us = sent_real_us + kLinkTimeoutMs * 1000u;
    std::uint32_t spin_us = spin ? g_spin_us.load(std::memory_order_relaxed) : 0;
    if (spin_us > 0 && s.spin_rest > 0) {
        --s.spin_rest;
        spin_us = 0;
    }
    const std::uint64_t spin_until = std::min(sent_us + spin_us, deadline_us);
    const std::uint64_t spin_until_real = sent_real_us + spin_us;
    bool spinning = spin_us > 0;
    for (;;) {
        Datagram d;
        if (!take_datagram(s.fd, buf, sizeof buf, d)) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                r.error = true;
                return r;
            }
            if (spinning) {
                if (monotonic_us() < spin_until) {
                    sched_yield();
                    continue;
                }
                spinning = false;
                if (++s.spin_misses >= kSpinMissesToRest) {
                    s.spin_misses = 0;
                    s.spin_rest = kSpinRestExchanges;
                }
            }
            if (!wait_readable(s.fd, deadline_us)) return r;
            continue;
        }
        const bool in_time = d.arrived_real_us != 0 ? d.arrived_real_us <= deadline_real_us
                                                    : monotonic_us() <= deadline_us;
        if (!from_peer_host(d, s.peer)) {
            bump(counters().foreign_dropped);
            continue;
        }
        if (d.arrived_real_ns == 0) {
            s.stamped = false;
        } else if (d.arrived_real_ns < waiting_before_ns) {
            ++r.waiting;
            bump(counters().stale_discarded);
            continue;
        }
        if (!in_time) {
            ++r.late;
            bump(counters().stale_discarded);
            return r;
        }
        if (!fits(s, kind, address, buf, d)) {
            ++r.unfitting;
            bump(counters().unfitting_dropped);
            continue;
        }
        if (spinning) {
            // Judged by the arrival stamp: a reply that came after the spin, found only because
            // this thread was kept from running meanwhile, is a miss.
            if (d.arrived_real_us == 0 || d.arrived_real_us <= spin_until_real) {
                s.spin_misses = 0;
                bump(counters().spin_caught);
            } else if (++s.spin_misses >= kSpinMissesToRest) {
                s.spin_misses = 0;
                s.spin_rest = kSpinRestExchanges;
            }
        }
        s.peer.sin_port = d.from.sin_port;
        const std::size_t n = std::min(d.length, reply_size);
        std::memcpy(reply, buf, n);
        learn(s, kind, address, buf, d);
        r.length = static_cast<ssize_t>(n);
        r.arrived_real_us = d.arrived_real_us;
        return r;
    }
}

enum class Resync {
    InStep,            // the first probe found the link in step: the exchange before it stands
    InStepAfterStray,  // stray datagrams first: the link is in step now, the exchange is suspect
    Failed,
};

// Proves the link is in step: a probe read gets exactly one fitting reply and nothing else
// arrives within the settle window. Gives up at the first probe that gets no datagram at all
// (a silent device costs one time-out, not kProbeTries of them).
Resync resync(LinkState& s, std::uint64_t settle) {
    bump(counters().resyncs);
    std::uint8_t request[kReadRequestSize] = {kReadFlag, 0x00, kProbeRegister >> 8,
                                              kProbeRegister & 0xFF};
    bool stray = false;
    for (int attempt = 0; attempt < kProbeTries; ++attempt) {
        // A datagram that was waiting before the probe went out is a stray: told by its arrival
        // stamp while the kernel stamps, else drained here.
        int waiting = 0;
        if (!s.stamped) {
            waiting = discard_waiting(s.fd);
            bump(counters().stale_discarded, static_cast<std::uint64_t>(waiting));
        }
        const std::uint64_t before_send_ns = s.stamped ? realtime_ns() : 0;
        if (!send_to_peer(s.fd, s.peer, request, sizeof request)) return Resync::Failed;
        const std::uint64_t sent = monotonic_us();
        std::uint8_t reply[kReadRequestSize];
        // The probe spins like any exchange: a probe that sleeps pays a wake-up on every page.
        const Receipt r = receive_reply(s, Kind::Read, kProbeRegister, reply, sizeof reply, sent,
                                        before_send_ns ? before_send_ns / 1000u : realtime_us(),
                                        true, before_send_ns);
        bump(counters().exchanges);
        bool odd = waiting > 0 || r.waiting > 0;
        if (r.length < 0) {
            if (r.unfitting == 0 && r.late == 0) return Resync::Failed;
            stray = true;
            continue;
        }
        record_rtt(s, monotonic_us() - sent);
        odd = odd || r.unfitting > 0;
        if (arrives_within(s.fd, settle)) {
            bump(counters().stale_discarded, static_cast<std::uint64_t>(discard_waiting(s.fd)));
            odd = true;
        }
        if (!odd) return stray ? Resync::InStepAfterStray : Resync::InStep;
        stray = true;
    }
    return Resync::Failed;
}

// One request and its reply, under the link lock. Fills reply (cut to reply_size) and gives the
// exchange's status; *length gets the reply length or -1.
ExchangeStatus exchange(Kind kind, std::uint16_t address, const std::uint8_t* request,
                        std::size_t request_size, std::uint8_t* reply, std::size_t reply_size,
                        ssize_t& length) {
    length = -1;
    LinkState& s = state();
    if (s.fd < 0) return ExchangeStatus::NoLink;
    // Three clock readings serve the exchange: before the send, CLOCK_REALTIME (the line
    // between datagrams that were waiting and replies, and the base of the deadline by arrival
    // stamp) and the monotonic start (the base of the wait, the round trip and the time spent);
    // after the receive, the monotonic end. On loopback each reading costs about a hundredth of
    // the round trip.
    const std::uint64_t start_ns = realtime_ns();
    const std::uint64_t start_mono_ns = monotonic_ns();
    std::uint64_t end_mono_ns = 0;  // 0 until taken
    Counters& c = counters();

    bool anomaly = false;
    t_last_may_be_stale = false;
    t_last_may_be_late = false;
    t_last_may_be_copy = false;
    t_last_copy_possible = false;
    // A datagram already waiting is a stray: a duplicate, or a reply that came after its wait.
    // With arrival stamps the receive tells it by its stamp, which spares a receive call per
    // exchange; without them it is drained here.
    if (!s.stamped) {
        if (const int waiting = discard_waiting(s.fd); waiting > 0) {
            bump(c.stale_discarded, static_cast<std::uint64_t>(waiting));
            anomaly = true;
        }
    }
    const std::uint64_t before_send_ns = s.stamped ? start_ns : 0;
    ExchangeStatus status = ExchangeStatus::NoReply;
    if (send_to_peer(s.fd, s.peer, request, request_size)) {
        const std::uint64_t sent = start_mono_ns / 1000u;
        const std::uint64_t sent_real = start_ns / 1000u;
        const Receipt r =
            receive_reply(s, kind, address, reply, reply_size, sent, sent_real, true, before_send_ns);
        length = r.length;
        anomaly = anomaly || r.unfitting > 0 || r.late > 0 || r.waiting > 0;
        end_mono_ns = monotonic_ns();
        const std::uint64_t now_us = end_mono_ns / 1000u;
        std::erase_if(s.owed, [now_us](const LinkState::Owed& o) { return o.until_us <= now_us; });
        if (r.length < 0 && s.owed.size() < kMaxOwedReplies) {
            s.owed.push_back({kind == Kind::Read, address, sent + kOwedReplyUs});
        }
        const bool owed =
            r.length >= 0 && std::any_of(s.owed.begin(), s.owed.end(), [&](const LinkState::Owed& o) {
                return o.read == (kind == Kind::Read) && o.address == address;
            });
        if (r.length >= 0) {
            const std::uint64_t rtt = now_us - sent;
            const std::uint64_t latency =
                r.arrived_real_us > sent_real ? r.arrived_real_us - sent_real
                : r.arrived_real_us != 0      ? 0
                                              : rtt;
            const bool acked = r.length >= 2 && reply[1] == kAck;
            // The same bytes again for the same register: a duplicate of the last reply looks
            // exactly like this, and only the settle window tells them apart (its own reply
            // would then still be on the way).
            // Only reads: a write's acknowledgement carries no data to mistake, and a page load
            // is confirmed as a whole before its tail.
            const bool repeat = kind == Kind::Read && s.last_was_read &&
                                s.last_length == r.length && s.last_address == address &&
                                std::equal(reply, reply + r.length, s.last_reply.begin());
            LinkState::Taken& last = kind == Kind::Read ? s.last_read_of(address) : s.last_write;
            const bool copy_possible =
                last.length == r.length && last.address == address &&
                sent - last.at_us < kDuplicateWindowUs &&
                std::equal(reply, reply + r.length, last.bytes.begin());
            // A read that may have taken a late reply is cheap to read again and compare, so
            // any owed read is suspect. Every acknowledgement of a write to one register looks
            // alike, and suspecting them all while a late one might come would stall every
            // retry: an owed write is suspect only when its reply came much later than the
            // device answers, as a late reply standing in for a lost request does (it lands
            // anywhere in the wait, where the device's own answer comes within round trips).
            const bool owed_suspect =
                owed && (kind == Kind::Read || suspiciously_slow(s, latency, true));
            t_last_may_be_late = owed_suspect;
            t_last_may_be_stale = owed_suspect || suspiciously_slow(s, latency, copy_possible);
            t_last_copy_possible = s.strays_seen && copy_possible;
            t_last_may_be_copy = t_last_copy_possible && !prompt(s, latency);
            record_rtt(s, rtt);
            std::copy_n(reply, static_cast<std::size_t>(r.length), last.bytes.begin());
            last.length = r.length;
            last.address = address;
            last.at_us = now_us;
            std::copy_n(reply, static_cast<std::size_t>(r.length), s.last_reply.begin());
            s.last_length = r.length;
            s.last_address = address;
            s.last_was_read = kind == Kind::Read;
            bool suspect = false;
            if (repeat && !anomaly && !s.need_resync) {
                end_mono_ns = 0;  // the settle window is part of the exchange
                if (arrives_within(s.fd, settle_us(s))) {
                    bump(c.stale_discarded, static_cast<std::uint64_t>(discard_waiting(s.fd)));
                    anomaly = true;
                    suspect = true;
                }
            }
            if (anomaly || s.need_resync) {
                end_mono_ns = 0;
                const Resync in_step = resync(s, settle_us(s));
                s.need_resync = in_step == Resync::Failed;
                anomaly = anomaly || in_step != Resync::InStep;
                status = suspect || in_step != Resync::InStep ? ExchangeStatus::Anomalous
                         : acked                   ? ExchangeStatus::Clean
                                                   : ExchangeStatus::Nak;
            } else {
                status = acked ? ExchangeStatus::Clean : ExchangeStatus::Nak;
            }
            if (status == ExchangeStatus::Nak) s.need_resync = true;
        } else {
            s.need_resync = true;
            status = anomaly ? ExchangeStatus::Anomalous : ExchangeStatus::NoReply;
        }
    } else {
        s.need_resync = true;
    }
    if (anomaly) {
        s.strays_seen = true;
        note_anomaly_to_watches();
    }

    bump(c.exchanges);
    if (status == ExchangeStatus::NoReply) bump(c.silent);
    if (status == ExchangeStatus::Nak) bump(c.naks);
    if (end_mono_ns == 0) end_mono_ns = monotonic_ns();
    bump(c.exchange_ns, end_mono_ns - start_mono_ns);
    return status;
}

}  // namespace

bool last_reply_may_be_stale() { return t_last_may_be_stale; }

bool last_reply_may_be_late() { return t_last_may_be_late; }

bool last_reply_may_be_copy() { return t_last_may_be_copy; }

bool last_reply_copy_possible() { return t_last_copy_possible; }

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

void note_link_anomaly() {
    for (LinkWatch* w = t_innermost_watch; w != nullptr; w = w->outer_)
        ++w->anomalies_;
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

namespace {
std::atomic<std::FILE*> handshake_notice{stdout};
}  // namespace

void set_handshake_notice_stream(std::FILE* stream) { handshake_notice.store(stream); }

bool connect_handshake() {
    LinkState& s = state();
    if (s.fd < 0) return false;
    char text[kHandshakeReplySize] = {};
    std::strncpy(text, kHandshakeText, sizeof text - 1);
    discard_waiting(s.fd);
    send_to_peer(s.fd, s.peer, text, std::strlen(text) + 1);

    std::uint8_t reply[kHandshakeReplySize] = {};
    std::size_t length = 0;
    const std::uint64_t deadline = monotonic_us() + kLinkTimeoutMs * 1000u;
    std::uint8_t buf[kReceiveBuffer];
    while (wait_readable(s.fd, deadline)) {
        Datagram d;
        if (!take_datagram(s.fd, buf, sizeof buf, d)) continue;
        if (!from_peer_host(d, s.peer)) {
            bump(counters().foreign_dropped);
            continue;
        }
        s.peer.sin_port = d.from.sin_port;
        length = std::min(d.length, sizeof reply);
        std::memcpy(reply, buf, length);
        break;
    }
    if (length > 0 && reply[0] == kHandshakeQuit) {
        const char quit[2] = {kHandshakeQuit, '\0'};
        send_to_peer(s.fd, s.peer, quit, sizeof quit);
        if (std::FILE* notice = handshake_notice.load()) {
            std::fputs("Chat end!\n", notice);
        } else {
            trace("Chat end!");
        }
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
    request[0] = kReadFlag;
    request[2] = static_cast<std::uint8_t>(address >> 8);
    request[3] = static_cast<std::uint8_t>(address & 0xFF);
    std::uint8_t reply[kReadRequestSize] = {};

    std::lock_guard<std::recursive_mutex> guard(link_lock());
    ssize_t got = -1;
    const ExchangeStatus status =
        exchange(Kind::Read, address, request, sizeof request, reply, sizeof reply, got);
    if (got >= 12) {
        std::memcpy(word.data(), reply + 4, word.size());
    } else {
        word.fill(0);
    }
    note_exchange(status);
    const bool clean = status == ExchangeStatus::Clean;
    if (!clean) {
        bump(counters().unacknowledged);
        trace(kReadAckError);
    }
    return clean;
}

bool write_reg(std::uint16_t address, const RegisterWord& word) {
    std::uint8_t request[kWriteRequestSize] = {};
    request[2] = static_cast<std::uint8_t>(address >> 8);
    request[3] = static_cast<std::uint8_t>(address & 0xFF);
    std::memcpy(request + 4, word.data(), word.size());
    std::uint8_t reply[kWriteRequestSize] = {};

    std::lock_guard<std::recursive_mutex> guard(link_lock());
    ssize_t got = -1;
    const ExchangeStatus status =
        exchange(Kind::Write, address, request, sizeof request, reply, sizeof reply, got);
    note_exchange(status);
    const bool clean = status == ExchangeStatus::Clean;
    if (!clean) {
        bump(counters().unacknowledged);
        trace(kWriteAckError);
    }
    return clean;
}

bool confirm_in_step() {
    std::lock_guard<std::recursive_mutex> guard(link_lock());
    LinkState& s = state();
    if (s.fd < 0) return false;
    // A probe rather than a bare wait: the device answers in order, so a reply of the span that
    // it sent late (it was busy, or held it) arrives before the probe's own reply and shows,
    // however long the device took. After an anomaly the probe's reply is followed by a settle
    // window, as every resync's is.
    const Resync r = resync(s, s.need_resync ? settle_us(s) : kConfirmSettleUs);
    s.need_resync = r == Resync::Failed;
    if (r == Resync::InStepAfterStray) s.strays_seen = true;
    if (r != Resync::InStep) note_anomaly_to_watches();
    return r == Resync::InStep;
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
    LinkStats st;
    st.exchanges = c.exchanges.load();
    st.unacknowledged = c.unacknowledged.load();
    st.stale_discarded = c.stale_discarded.load();
    st.foreign_dropped = c.foreign_dropped.load();
    st.spin_caught = c.spin_caught.load();
    st.exchange_ns = c.exchange_ns.load();
    st.silent = c.silent.load();
    st.naks = c.naks.load();
    st.unfitting_dropped = c.unfitting_dropped.load();
    st.resyncs = c.resyncs.load();
    return st;
}

std::uint32_t set_receive_spin_us(std::uint32_t us) {
    return g_spin_us.exchange(us);
}

}  // namespace kestrel
