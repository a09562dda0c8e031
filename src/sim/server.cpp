#include "sim/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "protocol/wire.h"
#include "sim/ipv4_text.h"

namespace kestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kTimedEvery = 64;

int bind_udp(const std::string& address, std::uint16_t port, std::uint16_t* bound_port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_aton(address.c_str(), &sa.sin_addr) == 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (bound_port) *bound_port = ntohs(sa.sin_port);
    return fd;
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

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
    std::vector<Exchange> log;
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

    void schedule(Delayed d) {
        auto at =
            std::upper_bound(delayed.begin(), delayed.end(), d.when,
                             [](Clock::time_point t, const Delayed& e) { return t < e.when; });
        delayed.insert(at, std::move(d));
    }

    // A request has arrived: the late replies that were waiting for it leave first, in order
    // (after the link's delay, when there is one).
    void release_held_replies(std::uint32_t link_delay_us) {
        std::vector<Delayed> later;
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (!it->until_next_request) {
                ++it;
                continue;
            }
            if (link_delay_us == 0) {
                sendto(it->fd, it->bytes.data(), it->bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
            } else {
                later.push_back(std::move(*it));
            }
            it = delayed.erase(it);
        }
        const auto when = Clock::now() + std::chrono::microseconds(link_delay_us);
        for (Delayed& d : later) {
            d.until_next_request = false;
            d.when = when;
            schedule(std::move(d));
        }
    }

    // Stops serving the address before a move. Late replies still due from its socket are
    // dropped with it, so none goes out later through a socket that reuses the descriptor.
    void retire_old_socket() {
        const int fd = old_fd;
        if (fd < 0) return;
        std::erase_if(delayed, [fd](const Delayed& d) { return d.fd == fd; });
        std::erase_if(rx_wait, [fd](const Waiting& w) { return w.fd == fd; });
        close_fd(old_fd);
    }
};

Server::Server(Device& device, ServerOptions options)
    : device_(device), options_(std::move(options)), impl_(std::make_unique<Impl>()) {
    impl_->faults.configure(options_.faults);
    impl_->handshake_reply = options_.handshake_reply;
    device_.mailbox().on_commit([this] { handle_commit(); });
}

Server::~Server() {
    stop();
    device_.mailbox().on_commit({});
}

bool Server::start() {
    Impl& im = *impl_;
    im.main_fd = bind_udp(options_.address, options_.port, &port_);
    if (im.main_fd < 0) {
        std::fprintf(stderr, "kestrel-devsim: cannot bind %s:%u: %s\n", options_.address.c_str(),
                     options_.port, std::strerror(errno));
        return false;
    }
    address_ = options_.address;
    im.other_fd = bind_udp(options_.address, 0, &other_port_);
    im.wake_fd = eventfd(0, EFD_NONBLOCK);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ConfigBlock& cfg = device_.config();
        if (cfg.ip_net() == 0 && cfg.port() == 0) {
            cfg.set_ip_net(parse_dotted_quad(address_).value_or(0));
            cfg.set_port(port_);
        }
        im.committed_ip = cfg.ip_net();
        im.committed_port = cfg.port();
    }
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Server::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        wake_locked();
    }
    thread_.join();
    Impl& im = *impl_;
    close_fd(im.main_fd);
    close_fd(im.old_fd);
    close_fd(im.other_fd);
    close_fd(im.foreign_fd);
    close_fd(im.wake_fd);
}

std::vector<Exchange> Server::exchanges() {
    std::lock_guard<std::mutex> guard(mutex_);
    return impl_->log;
}

void Server::clear_exchanges() {
    std::lock_guard<std::mutex> guard(mutex_);
    impl_->log.clear();
}

ServerCounters Server::counters() {
    std::lock_guard<std::mutex> guard(mutex_);
    return impl_->counters;
}

void Server::set_faults(const LinkFaults& faults) {
    std::lock_guard<std::mutex> guard(mutex_);
    impl_->faults.configure(faults);
}

void Server::set_faults_locked(const LinkFaults& faults) {
    impl_->faults.configure(faults);
}

void Server::set_handshake_reply(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    impl_->handshake_reply = text;
}

bool Server::move_to(const std::string& address, std::uint16_t port) {
    std::lock_guard<std::mutex> guard(mutex_);
    const bool moved = move_locked(address, port);
    wake_locked();
    return moved;
}

bool Server::move_locked(const std::string& address, std::uint16_t port) {
    Impl& im = *impl_;
    std::uint16_t bound = 0;
    const int fd = bind_udp(address, port, &bound);
    if (fd < 0) {
        std::fprintf(stderr, "kestrel-devsim: cannot move to %s:%u: %s; staying on %s:%u\n",
                     address.c_str(), port, std::strerror(errno), address_.c_str(), port_);
        return false;
    }
    im.retire_old_socket();
    im.old_fd = im.main_fd;
    im.old_port = port_;
    im.main_fd = fd;
    address_ = address;
    port_ = bound;
    return true;
}

// Runs with the server lock held, from the request that acknowledged the commit.
void Server::handle_commit() {
    Impl& im = *impl_;
    const ConfigBlock& cfg = device_.config();
    if (cfg.ip_net() == im.committed_ip && cfg.port() == im.committed_port) return;
    im.committed_ip = cfg.ip_net();
    im.committed_port = cfg.port();
    if (move_locked(dotted_quad(cfg.ip_net()), cfg.port()) && options_.move_at_commit) {
        im.retire_after_reply = true;
    }
}

void Server::run() {
    Impl& im = *impl_;
    // Delayed replies are due to the microsecond; the default timer slack would add 50 us.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::vector<pollfd> fds;
    while (!stopping_) {
        timespec timeout{};
        bool wait_forever = true;
        int blocking_fd = -1;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            const Clock::time_point next = run_due_locked();
            if (next != Clock::time_point::max()) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now());
                const long long ns = std::max<long long>(wait.count(), 0);
                timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
                timeout.tv_nsec = static_cast<long>(ns % 1000000000);
                wait_forever = false;
            }
            // With one socket in use and nothing to send later, a plain blocking receive serves
            // like a bare echo server; otherwise poll every socket.
            if (!im.other_used && im.old_fd < 0 && wait_forever) {
                blocking_fd = im.main_fd;
                im.blocked_on = blocking_fd;
            } else {
                im.blocked_on = -1;
                fds.clear();
                for (int fd : {im.wake_fd, im.main_fd, im.other_fd, im.old_fd}) {
                    if (fd >= 0) fds.push_back(pollfd{fd, POLLIN, 0});
                }
            }
        }
        if (blocking_fd >= 0) {
            serve_one(blocking_fd, 0);
            continue;
        }
        if (ppoll(fds.data(), fds.size(), wait_forever ? nullptr : &timeout, nullptr) <= 0)
            continue;
        for (const pollfd& p : fds) {
            if (!(p.revents & POLLIN)) continue;
            if (p.fd == im.wake_fd) {
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t n = read(im.wake_fd, &count, sizeof count);
                continue;
            }
            serve_one(p.fd, MSG_DONTWAIT);
        }
    }
}

Clock::time_point Server::run_due_locked() {
    Impl& im = *impl_;
    auto now = Clock::now();
    for (;;) {
        const bool event_due = !im.delayed.empty() && im.delayed.front().when <= now;
        const bool service_due = !im.rx_wait.empty() && im.service_free <= now;
        if (!event_due && !service_due) break;
        if (service_due && (!event_due || im.service_free <= im.delayed.front().when)) {
            Impl::Waiting w = std::move(im.rx_wait.front());
            im.rx_wait.pop_front();
            const Clock::time_point start = im.service_free;
            im.service_free = start + std::chrono::microseconds(im.faults.faults().reply_delay_us);
            handle_locked(Datagram{w.fd, w.from, w.bytes.data(), w.bytes.size(), w.copy}, start);
        } else {
            Impl::Delayed d = std::move(im.delayed.front());
            im.delayed.pop_front();
            if (d.kind == Impl::Delayed::Kind::Reply) {
                sendto(d.fd, d.bytes.data(), d.bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
            } else {
                arrive_locked(Datagram{d.fd, d.to, d.bytes.data(), d.bytes.size(),
                                       d.kind == Impl::Delayed::Kind::Copy});
            }
        }
        now = Clock::now();
    }
    Clock::time_point next = Clock::time_point::max();
    if (!im.delayed.empty()) next = im.delayed.front().when;
    if (!im.rx_wait.empty()) next = std::min(next, im.service_free);
    return next;
}

// Wakes the server thread from a blocking receive or a poll (with the lock held).
void Server::wake_locked() {
    Impl& im = *impl_;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(im.wake_fd, &one, sizeof one);
    if (im.blocked_on >= 0) {
        sockaddr_in to{};
        socklen_t len = sizeof to;
        getsockname(im.blocked_on, reinterpret_cast<sockaddr*>(&to), &len);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sendto(fd, nullptr, 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }
}

void Server::serve_one(int fd, int flags) {
    std::uint8_t buf[512];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t got =
        recvfrom(fd, buf, sizeof buf, flags, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got <= 0) return;  // nothing, or an empty wake-up datagram
    std::lock_guard<std::mutex> guard(mutex_);
    Impl& im = *impl_;
    const std::uint32_t link_delay_us = im.faults.faults().link_delay_us;
    if (link_delay_us > 0) {
        im.schedule(Impl::Delayed{Clock::now() + std::chrono::microseconds(link_delay_us), fd, from,
                                  std::vector<std::uint8_t>(buf, buf + got), false,
                                  Impl::Delayed::Kind::Arrival});
        return;
    }
    arrive_locked(Datagram{fd, from, buf, static_cast<std::size_t>(got), false});
}

void Server::arrive_locked(Datagram d) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    if (config.rx_queue == 0) {
        handle_locked(d, Clock::time_point{});
        return;
    }
    const auto now = Clock::now();
    if (im.rx_wait.empty() && im.service_free <= now) {
        im.service_free = now + std::chrono::microseconds(config.reply_delay_us);
        handle_locked(d, now);
        return;
    }
    if (im.rx_wait.size() >= config.rx_queue) {
        ++im.counters.rx_dropped;  // a small device's receive queue is full
        return;
    }
    im.rx_wait.push_back(
        Impl::Waiting{d.fd, d.from, std::vector<std::uint8_t>(d.bytes, d.bytes + d.size), d.copy});
}

void Server::handle_locked(const Datagram& d, Clock::time_point started) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    Served s;
    s.started = started;
    s.ex.request_size = d.size;
    s.ex.local_port = d.fd == im.main_fd ? port_ : d.fd == im.other_fd ? other_port_ : im.old_port;
    // The first request at a new address ends the service of the old one.
    if (d.fd == im.main_fd && im.old_fd >= 0) im.retire_old_socket();
    ++im.counters.requests;
    // The clock is read only for what needs it: a fault or reply delay that leaves later, and
    // one request in kTimedEvery for the service figures. On loopback each reading is a good
    // part of the service itself.
    s.timed = im.counters.requests % kTimedEvery == 0;
    if (s.timed) s.start_time();

    im.reply.clear();
    const Request request = decode_request(d.bytes, d.size);
    s.ex.kind = request.kind;
    if (!d.copy && (request.is_register() ||
                    (request.kind == DatagramKind::Handshake && config.faults_on_handshake))) {
        s.fault = im.faults.draw();
    }
    // A request lost on the way never reached the device, so it releases nothing.
    if (request.is_register() && !s.fault.lose_request)
        im.release_held_replies(config.link_delay_us);
    if (s.fault.lose_request) {
        s.ex.lost_request = true;
        ++im.counters.faults.lost_requests;
    } else if (request.is_register()) {
        dispatch_locked(request, d.bytes, s);
        if (s.fault.dup_request) {
            // The network's second copy of the request reaches the device a little later.
            ++im.counters.faults.dup_requests;
            s.ex.faults += " dup-request";
            im.schedule(Impl::Delayed{s.start_time() + std::chrono::microseconds(config.dup_gap_us),
                                      d.fd, d.from,
                                      std::vector<std::uint8_t>(d.bytes, d.bytes + d.size), false,
                                      Impl::Delayed::Kind::Copy});
        }
    } else if (request.kind == DatagramKind::Handshake) {
        ++im.counters.handshakes;
        const std::string& text = im.handshake_reply;
        im.reply.assign(text.begin(), text.end());
        if (im.reply.size() < kHandshakeReplySize) im.reply.push_back(0);
        if (im.reply.size() > kHandshakeReplySize) im.reply.resize(kHandshakeReplySize);
    }
    send_reply_locked(d, s);
    if (im.retire_after_reply) {
        im.retire_after_reply = false;
        im.retire_old_socket();
    }
    if (options_.log_exchanges) im.log.push_back(s.ex);
    if (options_.on_exchange) options_.on_exchange(s.ex);
    if (!s.timed) return;
    const auto finished = Clock::now();
    if (s.send_started == Clock::time_point{}) s.send_started = finished;
    ++im.counters.timed;
    im.counters.service_ns += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(s.send_started - s.started).count());
    im.counters.send_ns += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(finished - s.send_started).count());
}

void Server::dispatch_locked(const Request& request, const std::uint8_t* bytes, Served& s) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    std::vector<std::uint8_t>& reply = im.reply;
    s.ex.address = request.address;
    if (request.kind == DatagramKind::Read) {
        ++im.counters.reads;
        s.ex.word = device_.read(request.address);
        reply.assign(kReadRequestSize, 0);
        std::memcpy(reply.data() + kRegisterValueAt, s.ex.word.data(), s.ex.word.size());
    } else {
        ++im.counters.writes;
        s.ex.word = request.word;
        device_.write(request.address, request.word);
        reply.assign(config.long_write_replies ? kReadRequestSize : kWriteRequestSize, 0);
    }
    reply[1] = s.fault.nak ? 0x00 : kAck;
    if (s.fault.nak) {
        ++im.counters.faults.naks;
        s.ex.faults += " nak";
    }
    if (!config.no_echo) {
        reply[2] = bytes[2];
        reply[3] = bytes[3];
    }
}

void Server::send_reply_locked(const Datagram& d, Served& s) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    const std::vector<std::uint8_t>& reply = im.reply;
    const FaultDraw& fault = s.fault;
    InjectedFaults& injected = im.counters.faults;
    if (reply.empty()) return;
    if (fault.lose_reply) {
        ++injected.lost_replies;
        s.ex.faults += " lost-reply";
        return;
    }
    s.ex.replied = true;
    ++im.counters.replies;
    int out_fd = d.fd;
    if (fault.other_port && im.other_fd >= 0) {
        out_fd = im.other_fd;
        im.other_used = true;
        ++injected.other_port_replies;
    }
    if (fault.foreign) {
        if (im.foreign_fd < 0) im.foreign_fd = bind_udp(options_.foreign_address, 0, nullptr);
        if (im.foreign_fd >= 0) {
            std::vector<std::uint8_t> junk(reply.size(), 0xEE);
            junk[1] = kAck;
            sendto(im.foreign_fd, junk.data(), junk.size(), 0,
                   reinterpret_cast<const sockaddr*>(&d.from), sizeof d.from);
            ++injected.foreign_datagrams;
        }
    }
    // Jitter and the link's delay hold replies in order: none leaves before the one ahead.
    const bool in_order_hold = config.reply_jitter > 0 || config.link_delay_us > 0;
    const bool later = fault.late || fault.dup || config.reply_delay_us > 0 || in_order_hold;
    const auto ready = later ? s.start_time() + std::chrono::microseconds(config.reply_delay_us)
                             : Clock::time_point{};
    const auto travel = std::chrono::microseconds(config.link_delay_us);
    auto leaves = ready + travel;
    if (fault.late) {
        leaves += std::chrono::milliseconds(fault.late_ms);
        ++injected.late_replies;
        if (fault.late_next) ++injected.late_held;
        s.ex.faults +=
            fault.late_next ? " late-next" : " late " + std::to_string(fault.late_ms) + "ms";
    } else if (in_order_hold) {
        if (fault.jitter_us > 0) {
            leaves += std::chrono::microseconds(fault.jitter_us);
            ++im.counters.jittered_replies;
            s.ex.faults += " jitter " + std::to_string(fault.jitter_us) + "us";
        }
        leaves = std::max(leaves, im.reply_floor);
        im.reply_floor = leaves;
    }
    if (fault.dup) {
        ++injected.dup_replies;
        s.ex.faults += " dup";
        im.schedule(Impl::Delayed{leaves + std::chrono::microseconds(config.dup_gap_us), out_fd,
                                  d.from, reply, fault.late_next, Impl::Delayed::Kind::Reply});
    }
    const bool held = in_order_hold && leaves > s.started;
    if (fault.late || config.reply_delay_us > 0 || held) {
        im.schedule(Impl::Delayed{leaves, out_fd, d.from, reply, fault.late_next,
                                  Impl::Delayed::Kind::Reply});
    } else {
        if (s.timed) s.send_started = Clock::now();
        sendto(out_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&d.from),
               sizeof d.from);
    }
}

}  // namespace kestrel::sim
