// The UDP register link: one socket, one peer address and one recursive lock per process.
//
// Every device operation is a sequence of read_reg / write_reg exchanges: one request datagram,
// one acknowledgement datagram (byte 1 = 88h), 50 ms to arrive, never retried here. Faults show
// as trace lines; the exchanges return whether the device acknowledged so that callers which
// can act on it (flash retries, a command-line front end) may, while the others ignore it.
//
// Thread safety: read_reg and write_reg take link_lock() around their whole exchange. The lock
// is recursive, so a thread that holds it (a flash worker) issues exchanges freely. open_link
// and connect_handshake run on the dialog thread; open_link swaps the socket under the lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "link/ipv4.h"
#include "protocol/register_word.h"
#include "protocol/wire.h"

namespace kestrel {

inline constexpr int kLinkTimeoutMs = 50;
// On loopback and a quiet bench network a reply comes within tens of microseconds; waiting for
// it awake saves the wake-up of a blocking receive, which can cost more than the exchange.
inline constexpr std::uint32_t kDefaultReceiveSpinUs = 50;

// Where every request goes and whose replies are accepted. Both fields in network byte order.
struct PeerAddress {
    Ipv4Net addr = 0;
    std::uint16_t port = 0;
};

// Opens (or re-opens) the link: a new UDP socket with 50 ms send and receive time-outs, the
// peer address set from the IP text (inet_addr rules: an unparsable text gives 255.255.255.255)
// and the low 16 bits of the port, and the IP text traced. A previous socket is closed.
// Returns false only when no socket could be made (the link then stays closed).
bool open_link(const std::string& server_ip, int server_port);

// Sends "serconnectokornot" and its NUL, takes up to 100 bytes of reply within 50 ms, answers
// a reply starting with "q" with "q" NUL (and "Chat end!" on stdout), and succeeds when
// "connectok" first occurs at byte 1 or later of the reply text.
bool connect_handshake();

// Where connect_handshake writes its "Chat end!" line: stdout unless changed; nullptr sends it
// to the trace instead (a front end whose stdout carries results). Call before any handshake.
void set_handshake_notice_stream(std::FILE* stream);

// What became of one exchange, as the calling thread sees it.
enum class ExchangeStatus {
    Clean,      // exactly this request's reply, acknowledged with 88h, and the link in step
    Nak,        // this request's reply, but its acknowledgement byte was not 88h
    NoReply,    // no datagram at all within the 50 ms (lost request or reply, silent device)
    Anomalous,  // something else: an unfitting, duplicated or stale datagram around it, or the
                // link could not prove it was back in step; the word read cannot be trusted
    NoLink,     // the link was never opened (nothing was sent)
};

// One register read: 22-byte request, value from reply bytes 4..11 of this request's reply.
// Without a fitting reply the word is all zero. Returns true only for a clean exchange
// (ExchangeStatus::Clean); otherwise traces "READ Reg32, ACK error! ". A word from an exchange
// that returned false must not be stored or acted on as the device's value.
//
// Only a datagram that fits the request is taken: from the peer's host, of a reply's length,
// and (once the link has seen that the device echoes it) naming the same register. After any
// anomaly the link proves it is in step again before the next exchange's data is trusted.
bool read_reg(std::uint16_t address, RegisterWord& word);

// One register write: 18-byte request. Returns true only for a clean exchange; otherwise traces
// "WRITE Reg32, ACK error! ". False does not tell whether the device acted on the write.
bool write_reg(std::uint16_t address, const RegisterWord& word);

// The status of the calling thread's last read_reg or write_reg.
ExchangeStatus last_exchange_status();

// True when the reply the calling thread's last exchange took may be another request's: for a
// read, an earlier read of the same register still owed one (it timed out less than 1.5 s
// ago); for a write, an earlier write to the same register still owed one and this reply came
// much later than the device answers; for any exchange, the reply repeats the last one for its
// register, as a copy would, and came much later than the device answers (by the kernel's
// arrival stamp). This request's own reply may then be lost or still on its way. Nothing at the
// link tells them apart, and the exchange still counts as clean: a read whose register reads
// the same again (SPI_CTRL until the next phase) is read once more and compared, a page load
// stops and starts again, and a page whose program saw one is read back.
bool last_reply_may_be_stale();

// The part of last_reply_may_be_stale that rests on a request that timed out: an earlier
// exchange with the same register still owed its reply. Never true on a link that has lost
// nothing, however slowly the device answers.
bool last_reply_may_be_late();

// True when the reply the calling thread's last exchange took has the same bytes as the last
// reply of that kind and register (within 5 ms) and came later than the device promptly answers
// (twice its median round trip plus 20 us, by the kernel's arrival stamp). A copy of an earlier
// reply standing in for a request that was lost lands anywhere in the wait, where the device's
// own answers come promptly, so the later such a reply comes the likelier it is a copy. Only on
// a link that has shown a stray datagram (a copy, a late or unfitting reply) since it was
// opened: one that never has is taken not to make copies. A few replies in a thousand are this
// slow on a loaded machine, so only callers that can cheaply repeat the work (a page load before
// its tail) treat the exchange as doubtful.
bool last_reply_may_be_copy();

// The part of last_reply_may_be_copy that does not rest on time: on a link that has shown a
// stray datagram, the reply has the same bytes as the last reply of that kind and register
// (within 5 ms), so a copy of that one would have looked exactly like it. A copy can come as
// promptly as the device answers, and a machine under load answers late, so where a reply
// that a copy stood in for would go unseen (a receive phase that never happened leaves the
// same data), the caller must prove the outcome another way.
bool last_reply_copy_possible();

// Counts the exchanges the constructing thread makes while the watch lives (watches nest; each
// sees every exchange of its thread made during its life). Not shared between threads.
class LinkWatch {
  public:
    LinkWatch();
    ~LinkWatch();
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;

    int exchanges() const { return exchanges_; }
    int unclean() const { return unclean_; }  // every status but Clean
    int silent() const { return silent_; }    // NoReply and NoLink
    // Silent exchanges in a row at the end of what the watch saw (0 after a clean one).
    int silent_run() const { return silent_run_; }
    // Stray datagrams (duplicates, late or unfitting replies) the link found while the watch
    // lived, also around exchanges that came out clean: the data of the span is suspect.
    int anomalies() const { return anomalies_; }
    bool clean() const { return unclean_ == 0 && anomalies_ == 0; }

  private:
    friend void note_exchange(ExchangeStatus status);
    friend void note_link_anomaly();
    int exchanges_ = 0;
    int anomalies_ = 0;
    int unclean_ = 0;
    int silent_ = 0;
    int silent_run_ = 0;
    LinkWatch* outer_ = nullptr;
};

// Used by the transport to report each exchange, and each stray datagram, to the thread's
// watches.
void note_exchange(ExchangeStatus status);
void note_link_anomaly();

// Closes a span of exchanges whose data the caller is about to trust: a probe read of HOST_CTRL
// that must get exactly its own reply, with nothing else waiting behind it (after an anomaly,
// nothing arriving in a settle window of a few round trips). The device answers in order, so a
// reply of the span still on its way, even one it sent late, comes before the probe's and
// shows; a copy that comes after the probe's reply can no longer stand in for any exchange of
// the span, and the next exchange finds it. Gives true when the link is in step. On false the
// stray datagrams are dropped, the watches see an anomaly, and the next exchange proves the
// link in step again; the span must be repeated. One exchange.
[[nodiscard]] bool confirm_in_step();

// The process-wide recursive lock that keeps request/reply pairs of different threads apart.
std::recursive_mutex& link_lock();

// The current peer address (taken under the link lock).
PeerAddress peer_address();

// Points the link at a device that has taken a new address and port (the socket stays open).
void set_peer_address(Ipv4Net addr, std::uint16_t port_host_order);

// Closes the socket and clears the peer address (tests; the program never closes the link).
void close_link();

// Counters since the process started; read by benchmarks and diagnostics.
struct LinkStats {
    std::uint64_t exchanges = 0;
    std::uint64_t unacknowledged = 0;
    std::uint64_t stale_discarded = 0;  // stray datagrams dropped: waiting before a send, late
    std::uint64_t foreign_dropped = 0;  // datagrams from another host, ignored
    std::uint64_t spin_caught = 0;      // replies taken while the receive was still spinning
    std::uint64_t silent = 0;           // exchanges that got no datagram at all
    std::uint64_t naks = 0;             // fitting replies without 88h
    std::uint64_t unfitting_dropped = 0;  // datagrams that did not fit the request, dropped
    std::uint64_t resyncs = 0;          // times the link had to prove it was in step again
    std::uint64_t exchange_ns = 0;      // wall time spent inside register exchanges
};
LinkStats link_stats();

// How long a receive spins on the non-blocking socket before it blocks for the rest of the
// 50 ms (kDefaultReceiveSpinUs unless changed). 0 disables spinning. Returns the previous value.
// A device that keeps answering later than the spin makes the link stop spinning for a while.
std::uint32_t set_receive_spin_us(std::uint32_t us);

}  // namespace kestrel
