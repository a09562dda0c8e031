// The one link state of the process and the pieces of an exchange that the transport's files
// share. Internal to src/link/; every use is under link_lock().
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "link/exchange.h"
#include "link/reply_history.h"
#include "link/reply_shape.h"
#include "link/reply_wait.h"
#include "link/udp_socket.h"
#include "protocol/wire.h"

namespace kestrel::link_detail {

inline constexpr std::size_t kReceiveBuffer = 512;

// The last reply the link took, to tell a copy of it that comes at once as the next reply.
struct LastReply {
    bool read = false;
    std::uint16_t address = 0;
    std::size_t length = 0;
    std::uint64_t at_us = 0;
    std::array<std::uint8_t, kReadRequestSize> bytes{};
};

// One more reply the link is owed by a request of its own that it sent while a reply was slow
// (see exchange's nudge): a read sent again, whose reply holds the word the first one gave, or
// a probe of HOST_CTRL behind a write. The device answers in order, so it comes before the
// reply of any later request; it is taken then without counting as a stray. One that has not
// come by then is owed (ReplyHistory) like the reply of a request that timed out.
struct ExpectedReply {
    bool armed = false;
    std::uint16_t address = 0;
    bool word_known = false;  // a read sent again: its reply holds word
    RegisterWord word{};
    std::uint64_t sent_us = 0;  // when the request it would answer went out first
    // The round trip measured once this reply comes, showing the reply taken before it was the
    // first request's (the device answers in order); 0 for none. Or, where that reply may have
    // been held up until this request came (released by it, it would teach the wait its own
    // nudge as a round trip): when this request was sent and when its wait ended (the clock of
    // the arrival stamps), and its own round trip is measured if it came within that wait.
    std::uint32_t taken_rtt_us = 0;
    std::uint64_t asked_real_ns = 0;
    std::uint64_t wait_end_real_ns = 0;
};

struct LinkState {
    int fd = -1;
    sockaddr_in peer{};
    bool port_learnt = false;  // replies come from peer.sin_port, and only from there
    bool stamped = true;       // the kernel stamps arrivals (else: drain before each send)
    ReplyShape shape;
    ReplyWait wait;
    ReplyHistory history;
    LastReply last;
    int spin_misses = 0;
    int spin_rest = 0;
    int silent_run = 0;                   // exchanges in a row that got no reply at all
    std::uint64_t timed_out_sent_us = 0;  // the last exchange timed out: when it was sent (else 0)
    ExpectedReply expected;
};

LinkState& state();
extern std::atomic<std::uint32_t> g_spin_us;

// One request in flight: what it asked and when it went out.
struct Pending {
    ExchangeKind kind;
    std::uint16_t address;
    std::uint64_t sent_real_ns;
    std::uint64_t sent_mono_us;
    std::uint64_t deadline_us;
    ReadKeys keys{};  // reads: what the reply will hold, when the caller knows
    // When this wait stops, if before the deadline (0: at the deadline). A reply that comes
    // after the stop but within the deadline is still this request's, not late.
    std::uint64_t stop_us = 0;
    // A probe sent behind this request: its reply ends the wait (the device answers in order:
    // this request's reply is not coming), as Receipt::probe_answered.
    const struct Pending* behind = nullptr;
};

// What one wait for a reply found.
struct Receipt {
    ssize_t length = -1;  // of the reply taken (cut to the buffer), -1 when none
    StrayCount strays;
    std::uint64_t arrived_real_ns = 0;
    bool late_own = false;        // the datagram that came after the wait fitted this request
    bool probe_answered = false;  // the reply of Pending::behind came, none of this request
    bool ambiguous = false;       // the reply may be that of the same request sent again (Karn)
};

// Waits for the reply to p until its deadline, judged by the kernel's arrival stamp, so a reply
// that came in time is kept even when this thread wakes late. Datagrams from elsewhere are
// dropped and counted as foreign; strays (waiting before the send, late, unfitting) are dropped
// and sorted by the history. The first fitting reply is copied to reply (cut to size).
Receipt receive_reply(LinkState& s, const Pending& p, std::uint8_t* reply, std::size_t size);

// Watches for a datagram within us; every one that comes is a stray, sorted into r.
void settle(LinkState& s, std::uint64_t us, Receipt& r);

// Whether a datagram that arrived at arrived_real_ns came so soon after a request sent at
// sent_real_ns that the request's arrival at the device may have sent it (a reply held up until
// the next request came): within two round trips and a margin for a host's scheduling.
[[nodiscard]] bool maybe_released_by(const LinkState& s, std::uint64_t sent_real_ns,
                                     std::uint64_t arrived_real_ns);

// Takes the datagram in buf when it is the reply s.expected waits for: true, and nothing is
// armed any more.
bool take_expected(LinkState& s, const std::uint8_t* buf, const Datagram& d);

// The reply s.expected waits for did not come before a later request's: it is owed.
void expected_missed(LinkState& s);

// Watches a few round trips for the reply s.expected waits for (other datagrams are strays,
// sorted into r); owed if it did not come.
void settle_expected(LinkState& s, Receipt& r);

// How long an exchange waits before it nudges (see nudge): 0 for not at all (inside a
// FullReplyWait, with a window of requests in flight, before the device's round trips and
// register echo are known, or while another reply is expected), else less than wait_us.
[[nodiscard]] std::uint32_t nudge_after_us(const LinkState& s, std::uint32_t wait_us);

// p's wait stopped at p.stop_us without its reply. A read is sent again: it changes nothing on
// the device, so either reply holds the register's word. A write gets a read of HOST_CTRL
// behind it: the device answers in order, so that probe's reply, come first, shows the write's
// is not coming (the write then ends as timed out, without the rest of its wait). Then waits
// on to p's deadline; the reply that may still come is armed in s.expected.
Receipt nudge(LinkState& s, Pending p, const std::uint8_t* request, std::size_t request_size,
              std::uint8_t* reply, std::size_t size);

// Whether a datagram came from the device: its host and, once learnt, its port.
[[nodiscard]] bool from_device(const LinkState& s, const Datagram& d);

// Counts a datagram that is no request's reply into r and sorts it by the history. The late
// reply of the exchange just before p, which timed out, stretches the wait to its round trip,
// unless it came just after p was sent (p's arrival may have released it: no wait would have
// caught it). A late reply of an older request says nothing of the device's pace.
void note_stray(LinkState& s, const std::uint8_t* buf, const Datagram& d, Receipt& r,
                const Pending* p);

// What the reply in r means for p, with the link's memory of earlier replies; r without a
// reply (length -1) is a time-out. watch_for_copy: a read that repeats the last one watches a
// few round trips for the reply behind a copy (not inside a window, where the next reply
// shows it).
ExchangeResult judge(LinkState& s, const Pending& p, Receipt& r, const std::uint8_t* reply,
                     bool watch_for_copy);

// The request datagram for an exchange into out (kReadRequestSize bytes at least); its size.
std::size_t encode_request(ExchangeKind kind, std::uint16_t address, const RegisterWord& word,
                           std::uint8_t* out);

// The register as the history keys it.
[[nodiscard]] std::uint32_t history_key(const LinkState& s, std::uint16_t address);

// Reply bytes 4..11 (zero when the datagram is shorter).
[[nodiscard]] RegisterWord value_of(const std::uint8_t* buf, std::size_t length);

}  // namespace kestrel::link_detail
