// The reply to one request: lost, sent at once, or held for later (late, jittered, delayed by the
// link, duplicated), from the socket the faults choose, with a foreign datagram beside it.
#include <sys/socket.h>

#include <algorithm>

#include "protocol/wire.h"
#include "sim/server_state.h"

namespace kestrel::sim {

// When the reply leaves, and whether that is later than now.
struct Server::Departure {
    Clock::time_point when{};
    bool later = false;
};

void Server::send_reply_locked(const Datagram& d, Served& s) {
    Impl& im = *impl_;
    const std::vector<std::uint8_t>& reply = im.reply;
    const FaultDraw& fault = s.fault;
    if (reply.empty()) return;
    if (fault.lose_reply) {
        ++im.counters.faults.lost_replies;
        s.ex.faults += " lost-reply";
        return;
    }
    s.ex.replied = true;
    ++im.counters.replies;
    const int out_fd = reply_socket_locked(d, fault);
    if (fault.foreign) send_foreign_locked(d);
    const Departure leave = departure_locked(s);
    if (fault.dup) {
        ++im.counters.faults.dup_replies;
        s.ex.faults += " dup";
        im.schedule(
            Impl::Delayed{leave.when + std::chrono::microseconds(im.faults.faults().dup_gap_us),
                          out_fd, d.from, reply, fault.late_next, Impl::Delayed::Kind::Reply});
    }
    if (leave.later) {
        im.schedule(Impl::Delayed{leave.when, out_fd, d.from, reply, fault.late_next,
                                  Impl::Delayed::Kind::Reply});
    } else {
        if (s.timed) s.send_started = Clock::now();
        sendto(out_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&d.from),
               sizeof d.from);
    }
}

int Server::reply_socket_locked(const Datagram& d, const FaultDraw& fault) {
    Impl& im = *impl_;
    if (!fault.other_port || im.other_fd < 0) return d.fd;
    im.other_used = true;
    ++im.counters.faults.other_port_replies;
    return im.other_fd;
}

void Server::send_foreign_locked(const Datagram& d) {
    Impl& im = *impl_;
    if (im.foreign_fd < 0) im.foreign_fd = bind_udp(options_.foreign_address, 0, nullptr);
    if (im.foreign_fd < 0) return;
    std::vector<std::uint8_t> junk(im.reply.size(), 0xEE);
    junk[1] = kAck;
    sendto(im.foreign_fd, junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr*>(&d.from),
           sizeof d.from);
    ++im.counters.faults.foreign_datagrams;
}

Server::Departure Server::departure_locked(Served& s) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    const FaultDraw& fault = s.fault;
    // Jitter and the link's delay hold replies in order: none leaves before the one ahead.
    const bool in_order_hold = config.reply_jitter > 0 || config.link_delay_us > 0;
    const bool later = fault.late || fault.dup || config.reply_delay_us > 0 || in_order_hold;
    const auto ready = later ? s.start_time() + std::chrono::microseconds(config.reply_delay_us)
                             : Clock::time_point{};
    auto leaves = ready + std::chrono::microseconds(config.link_delay_us);
    if (fault.late) {
        leaves += std::chrono::milliseconds(fault.late_ms);
        ++im.counters.faults.late_replies;
        if (fault.late_next) ++im.counters.faults.late_held;
        s.ex.faults +=
            fault.late_next ? " late-next" : " late " + std::to_string(fault.late_ms) + "ms";
    } else if (in_order_hold) {
        if (fault.jitter_us > 0) {
            leaves += std::chrono::microseconds(fault.jitter_us);
            ++im.counters.jittered_replies;
            im.counters.max_jitter_us =
                std::max<std::uint64_t>(im.counters.max_jitter_us, fault.jitter_us);
            s.ex.faults += " jitter " + std::to_string(fault.jitter_us) + "us";
        }
        leaves = std::max(leaves, im.reply_floor);
        im.reply_floor = leaves;
    }
    const bool held = in_order_hold && leaves > s.started;
    return {leaves, fault.late || config.reply_delay_us > 0 || held};
}

}  // namespace kestrel::sim
