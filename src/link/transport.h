// The UDP register link: one socket, one peer address and one recursive lock per process.
//
// Every device operation is a sequence of register exchanges, each one request datagram and one
// reply (byte 1 = 88h acknowledges), never retried here; each returns what happened as one
// ExchangeResult. read_reg / write_reg, taking link_lock() around the exchange, are the thin forms
// the described callers use. open_link and connect_handshake run on the dialog thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

#include "link/exchange.h"
#include "link/ipv4.h"
#include "link/link_stats.h"
#include "link/link_watch.h"
#include "protocol/register_word.h"

namespace kestrel {

inline constexpr int kLinkTimeoutMs = 50;
// On loopback and a quiet bench network a reply comes within tens of microseconds; waiting for
// it awake saves the wake-up of a blocking receive.
inline constexpr std::uint32_t kDefaultReceiveSpinUs = 50;

// Where every request goes and whose replies are accepted. Both fields in network byte order.
struct PeerAddress {
    Ipv4Net addr = 0;
    std::uint16_t port = 0;
};

// Opens (or re-opens) the link: a new UDP socket, the peer address from the IP text (inet_addr
// rules: an unparsable text gives 255.255.255.255) and the low 16 bits of the port, and the IP
// text traced. A previous socket is closed. False only when no socket could be made.
bool open_link(const std::string& server_ip, int server_port);

// Sends "serconnectokornot" and its NUL, takes up to 100 bytes of reply within 50 ms, answers
// a reply starting with "q" with "q" NUL (and "Chat end!" on stdout), and succeeds when
// "connectok" first occurs at byte 1 or later of the reply text. The reply's port becomes the
// port the link takes replies from.
bool connect_handshake();

// Where connect_handshake writes its "Chat end!" line: stdout unless changed; nullptr sends it
// to the trace instead (a front end whose stdout carries results). Call before any handshake.
void set_handshake_notice_stream(std::FILE* stream);

// One register read or write, under the link lock. Only a datagram from the device that fits
// the request is taken: from the peer's host and, once learnt, the port the device answers
// from; of the reply's length; naming the register once the device has shown it echoes. The
// wait follows the measured round trips (see link/reply_wait.h). A read's keys say what it will
// hold, when the caller knows (see ReadKeys). Never traces.
[[nodiscard]] ExchangeResult read_exchange(std::uint16_t address, ReadKeys keys = {});
[[nodiscard]] ExchangeResult write_exchange(std::uint16_t address, const RegisterWord& word);

// The described forms: the word of a read is reply bytes 4..11 (zero without a fitting reply).
// True only for ExchangeStatus::Clean (and, for a read, no Doubt::Owed); otherwise trace "READ
// Reg32, ACK error! " or "WRITE Reg32, ACK error! ". A word from a read that returned false must
// not be stored or acted on as the device's value.
bool read_reg(std::uint16_t address, RegisterWord& word);
bool write_reg(std::uint16_t address, const RegisterWord& word);
// The same read, traced and counted alike, handing back the whole ExchangeResult.
[[nodiscard]] ExchangeResult read_reg(std::uint16_t address);

// What a probe of the link found: a read of HOST_CTRL, which nothing else reads back as its
// value, answered in order. in_step: a probe got exactly its own reply with nothing stray
// around it (after at most 4 probes; the first silent one ends the search). strays: what came
// before that, also in the probes.
struct Probe {
    bool in_step = false;
    StrayCount strays;
};

// Closes a span of exchanges whose data the caller is about to trust. The device answers in
// order, so a reply of the span still on its way, even a late one, shows before the probe's
// own. Strays are reported to the watches.
[[nodiscard]] Probe probe_in_step();

// probe_in_step() found the link in step with nothing stray around it.
[[nodiscard]] bool confirm_in_step();

// The process-wide recursive lock that keeps request/reply pairs of different threads apart.
std::recursive_mutex& link_lock();

// The current peer address (taken under the link lock).
PeerAddress peer_address();

// Points the link at a device that has taken a new address and port (the socket stays open);
// the port replies come from is learnt again.
void set_peer_address(Ipv4Net addr, std::uint16_t port_host_order);

// Closes the socket and clears the peer address (tests; the program never closes the link).
void close_link();

// How long a receive spins on the socket before it blocks for the rest of the wait
// (kDefaultReceiveSpinUs unless changed); 0 disables spinning. Returns the previous value.
std::uint32_t set_receive_spin_us(std::uint32_t us);

// Whether the link has shown a duplicate lately: a request the device may have taken twice
// where its second acknowledgement was lost shows nothing. (A reply still owed by a request
// that timed out is told by what it can hold: see Doubt::Late and ReadKeys.)
[[nodiscard]] bool link_may_make_copies();

// A read of address took a word that later reads contradict: it took another request's reply
// unseen, and its own may still come, holding one of words (the bytes it asked for or a
// neighbour's, as read since). Until that reply shows, a read of address that gives one of
// words is in doubt (Doubt::Late).
void link_owe_contradicted_read(std::uint16_t address, std::span<const RegisterWord> words);

// Exchanges in a row, up to the last one, that got no reply at all (0 after any reply).
[[nodiscard]] int link_silent_run();
// A run this long means the device has stopped answering, not that datagrams were lost.
inline constexpr int kDeviceGoneSilentRun = 12;

// The wait the next exchange will give its reply (microseconds).
[[nodiscard]] std::uint32_t current_reply_wait_us();

}  // namespace kestrel
