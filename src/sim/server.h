// The simulated device's UDP face: the text handshake and the 22/18-byte register protocol,
// served on one thread. Requests are served in microseconds; every exchange can be counted and
// logged so that tests assert exact traffic.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/register_word.h"
#include "sim/device.h"
#include "sim/faults.h"
#include "sim/request.h"

namespace kestrel::sim {

inline constexpr const char* kDefaultHandshakeReply = "*connectok";

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port, see Server::port()
    std::string handshake_reply = kDefaultHandshakeReply;
    bool log_exchanges = true;
    // Where foreign datagrams come from (any local loopback address other than `address`).
    std::string foreign_address = "127.0.0.2";
    LinkFaults faults;
    // After the commit of a new address and port the device answers only there: the old socket
    // stops serving once the reply to the request that completed the commit has left.
    bool move_at_commit = false;
    // Called on the server thread, with the server lock held, after each served datagram.
    std::function<void(const struct Exchange&)> on_exchange;
};

// One served datagram, as the log keeps it.
struct Exchange {
    using Kind = DatagramKind;
    Kind kind = Kind::Malformed;
    std::uint16_t address = 0;
    RegisterWord word{};  // written, or answered to a read
    std::size_t request_size = 0;
    std::uint16_t local_port = 0;  // the server port the request arrived on
    bool replied = false;          // a reply left (possibly late, possibly a NAK)
    bool lost_request = false;
    // The faults drawn for this request's reply, for the log: "lost-reply", "nak", "late 312ms",
    // "late-next", "dup", "dup-request"; empty when none.
    std::string faults;
};

// Faults as they took effect (a lost request has no reply left to lose, delay or duplicate).
struct InjectedFaults {
    std::uint64_t lost_requests = 0;
    std::uint64_t lost_replies = 0;
    std::uint64_t naks = 0;
    std::uint64_t late_replies = 0;
    std::uint64_t late_held = 0;  // of the late replies, those that waited for the next request
    std::uint64_t dup_replies = 0;
    std::uint64_t dup_requests = 0;
    std::uint64_t other_port_replies = 0;
    std::uint64_t foreign_datagrams = 0;

    std::uint64_t total() const {
        return lost_requests + lost_replies + naks + late_replies + dup_replies + dup_requests +
               other_port_replies + foreign_datagrams;
    }
};

struct ServerCounters {
    std::uint64_t requests = 0;  // datagrams received, lost ones included
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::uint64_t handshakes = 0;
    std::uint64_t replies = 0;
    // Service times are taken for one request in 64 (a clock reading costs a good part of a
    // request's service on loopback): the sums below are over those `timed` requests.
    std::uint64_t timed = 0;
    std::uint64_t service_ns = 0;  // handling: from the request received to the reply ready
    std::uint64_t send_ns = 0;     // in sendto for the replies (on loopback: the delivery)
    InjectedFaults faults;
    // Timing, not faults: replies held up by --reply-jitter, requests dropped by a full
    // receive queue (--rx-queue).
    std::uint64_t jittered_replies = 0;
    std::uint64_t max_jitter_us = 0;  // the longest hold jitter drew
    std::uint64_t rx_dropped = 0;
};

class Server {
  public:
    Server(Device& device, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts serving on a thread. False (with a message on stderr) when the bind fails.
    bool start();
    void stop();

    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }
    std::uint16_t other_port() const { return other_port_; }

    // Held while a request is served; take it to look at the device or change faults.
    std::mutex& lock() { return mutex_; }

    std::vector<Exchange> exchanges();
    void clear_exchanges();
    ServerCounters counters();
    void set_faults(const LinkFaults& faults);
    // As set_faults, for on_exchange, which runs with the server lock already held.
    void set_faults_locked(const LinkFaults& faults);
    void set_handshake_reply(const std::string& text);

    // Moves the server to a new address and port; requests on the old socket are still served
    // until the first request arrives at the new one (with move_at_commit, not after a commit).
    // False when the new address cannot be bound.
    bool move_to(const std::string& address, std::uint16_t port);

  private:
    struct Impl;
    struct Datagram;
    struct Served;
    struct Departure;
    void run();
    // Sends or serves what is due, with the lock held; returns when the next event is due.
    std::chrono::steady_clock::time_point run_due_locked();
    void serve_one(int fd, int recv_flags);
    // A datagram reaches the device: served at once, or queued behind the one in service.
    void arrive_locked(Datagram d);
    // Serves one request datagram with the server lock held; a duplicated request's second copy
    // (d.copy) draws no faults of its own. The steps below, in server_request.cpp.
    void handle_locked(const Datagram& d, std::chrono::steady_clock::time_point started);
    // Counts the request and notes its port; the first request at a new address retires the old.
    Served begin_service_locked(const Datagram& d, std::chrono::steady_clock::time_point started);
    // Draws the request's faults; a register request that arrives releases the held replies.
    void draw_faults_locked(const Request& request, const Datagram& d, Served& s);
    // Acts on a register request; fills the reply.
    void dispatch_locked(const Request& request, const std::uint8_t* bytes, Served& s);
    // Queues the network's second copy of a duplicated request.
    void send_request_copy_locked(const Datagram& d, Served& s);
    // Fills the reply with the handshake text, NUL-ended, at most kHandshakeReplySize bytes.
    void answer_handshake_locked();
    // Retires the old socket after a commit's reply, logs the exchange, adds the service times.
    void end_service_locked(Served& s);
    // Sends, delays, duplicates or drops the reply as the draw says (server_reply.cpp).
    void send_reply_locked(const Datagram& d, Served& s);
    // The socket the reply leaves from: the request's, or the second port's.
    int reply_socket_locked(const Datagram& d, const FaultDraw& fault);
    // A reply-shaped datagram from a foreign address, before the reply.
    void send_foreign_locked(const Datagram& d);
    // When the reply leaves (late, jitter, delays, the in-order floor), counting those faults.
    Departure departure_locked(Served& s);
    void wake_locked();
    void handle_commit();
    bool move_locked(const std::string& address, std::uint16_t port);

    Device& device_;
    ServerOptions options_;
    std::string address_;
    std::uint16_t port_ = 0;
    std::uint16_t other_port_ = 0;
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::sim
