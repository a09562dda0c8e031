// The server's private state, shared by its files (server.cpp: sockets, thread and timers;
// server_request.cpp: serving one request; server_reply.cpp: its reply). Touched only on the
// server thread or with the server lock held; the Server owns it.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/server.h"

namespace kestrel::sim {

using Clock = std::chrono::steady_clock;

// A UDP socket bound to address:port (0: any port, then *bound_port says which); -1 on failure
// with errno set.
int bind_udp(const std::string& address, std::uint16_t port, std::uint16_t* bound_port);
// Closes fd when open and sets it to -1.
void close_fd(int& fd);

// A datagram as the device takes it: where it came in and from whom; a view of its bytes.
struct Server::Datagram {
    int fd = -1;
    sockaddr_in from{};
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    bool copy = false;  // the network's second copy of a duplicated request
};

// One request's working state while it is served.
struct Server::Served {
    Exchange ex;
    FaultDraw fault;
    bool timed = false;
    Clock::time_point started{};
    Clock::time_point send_started{};
    Clock::time_point start_time() {
        if (started == Clock::time_point{}) started = Clock::now();
        return started;
    }
};

struct Server::Impl {
    int main_fd = -1;
    int old_fd = -1;  // the address before a move, served until the new one gets a request
    std::uint16_t old_port = 0;
    int other_fd = -1;  // the device's second port
    int foreign_fd = -1;
    int wake_fd = -1;
    int blocked_on = -1;      // the socket the server thread blocks on, if any
    bool other_used = false;  // a reply has left from the second port
    FaultInjector faults;
    std::deque<Exchange> log;  // grows without moving what it holds (a long read logs millions)
    ServerCounters counters;
    std::string handshake_reply;
    std::uint32_t committed_ip = 0;
    std::uint16_t committed_port = 0;
    bool retire_after_reply = false;  // a commit moved the device with move_at_commit
    std::vector<std::uint8_t> reply;  // the reply being built; kept to spare an allocation each

    // Something that happens later: a reply leaves, a duplicated request's copy reaches the
    // device, or a datagram reaches it after the link's delay.
    struct Delayed {
        enum class Kind { Reply, Copy, Arrival };
        Clock::time_point when;
        int fd;
        sockaddr_in to;  // for a request: where it came from
        std::vector<std::uint8_t> bytes;
        bool until_next_request = false;  // leaves when the next request arrives, at the latest
                                          // at `when`
        Kind kind = Kind::Reply;
    };
    std::deque<Delayed> delayed;  // in the order they are due; equal times in the order queued
    // The time the last in-order reply leaves: with jitter or a link delay, no reply that keeps
    // its order leaves before it.
    Clock::time_point reply_floor{};

    // The receive queue (with LinkFaults::rx_queue): requests waiting while one is served.
    struct Waiting {
        int fd;
        sockaddr_in from;
        std::vector<std::uint8_t> bytes;
        bool copy;
    };
    std::deque<Waiting> rx_wait;
    Clock::time_point service_free{};  // when the request in service is done

    // Queues d after every event due at or before its time.
    void schedule(Delayed d);
    // A request has arrived: the late replies that were waiting for it leave first, in order
    // (after the link's delay, when there is one).
    void release_held_replies(std::uint32_t link_delay_us);
    // Stops serving the address before a move. Late replies still due from its socket are
    // dropped with it, so none goes out later through a socket that reuses the descriptor.
    void retire_old_socket();
};

}  // namespace kestrel::sim
