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

    // A reply (or a duplicated request's second copy) that leaves, or is served, later.
    struct Delayed {
        Clock::time_point when;
        int fd;
        sockaddr_in to;  // for a request copy: where it came from
        std::vector<std::uint8_t> bytes;
        bool until_next_request = false;  // leaves when the next request arrives, at the latest
                                          // at `when`
        bool is_request = false;
    };
    std::deque<Delayed> delayed;  // in the order they are due; equal times in the order queued

    void schedule(Delayed d) {
        auto at = std::upper_bound(delayed.begin(), delayed.end(), d.when,
                                   [](Clock::time_point t, const Delayed& e) { return t < e.when; });
        delayed.insert(at, std::move(d));
    }

    // A request has arrived: the late replies that were waiting for it leave first, in order.
    void release_held_replies() {
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (!it->until_next_request) {
                ++it;
                continue;
            }
            sendto(it->fd, it->bytes.data(), it->bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
            it = delayed.erase(it);
        }
    }

    // Stops serving the address before a move. Late replies still due from its socket are
    // dropped with it, so none goes out later through a socket that reuses the descriptor.
    void retire_old_socket() {
        const int fd = old_fd;
        if (fd < 0) return;
        std::erase_if(delayed, [fd](const Delayed& d) { return d.fd == fd; });
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
            auto now = Clock::now();
            while (!im.delayed.empty() && im.delayed.front().when <= now) {
                Impl::Delayed d = std::move(im.delayed.front());
                im.delayed.pop_front();
                if (d.is_request) {
                    handle_locked(d.fd, d.bytes.data(), d.bytes.size(), d.to, now, true);
                } else {
                    sendto(d.fd, d.bytes.data(), d.bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
                }
                now = Clock::now();
            }
            if (!im.delayed.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    im.delayed.front().when - now);
                timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
                timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
                wait_forever = false;
            }
            // With one socket in use and nothing to send later, a plain blocking receive serves
            // like a bare echo server; otherwise poll every socket.
            if (!im.other_used && im.old_fd < 0 && im.delayed.empty()) {
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
    handle_locked(fd, buf, static_cast<std::size_t>(got), from, Clock::time_point{}, false);
}

void Server::handle_locked(int fd, const std::uint8_t* buf, std::size_t size,
                           const sockaddr_in& from, Clock::time_point started, bool copy) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    Exchange ex;
    ex.request_size = size;
    ex.local_port = fd == im.main_fd ? port_ : fd == im.other_fd ? other_port_ : im.old_port;
    // The first request at a new address ends the service of the old one.
    if (fd == im.main_fd && im.old_fd >= 0) im.retire_old_socket();
    ++im.counters.requests;
    // The clock is read only for what needs it: a fault or reply delay that leaves later, and
    // one request in kTimedEvery for the service figures. On loopback each reading is a good
    // part of the service itself.
    const bool timed = im.counters.requests % kTimedEvery == 0;
    if (timed && started == Clock::time_point{}) started = Clock::now();
    auto start_time = [&started] {
        if (started == Clock::time_point{}) started = Clock::now();
        return started;
    };

    std::vector<std::uint8_t>& reply = im.reply;
    reply.clear();
    Clock::time_point send_started{};
    if (size >= 4 && buf[0] == kReadFlag) {
        ex.kind = Exchange::Kind::Read;
    } else if (size >= 12 && buf[0] == kWriteFlag) {
        ex.kind = Exchange::Kind::Write;
    } else if (size == 2 && buf[0] == kHandshakeQuit && buf[1] == 0) {
        ex.kind = Exchange::Kind::QuitAck;
    } else if (std::string_view(reinterpret_cast<const char*>(buf), size)
                   .starts_with(kHandshakeText)) {
        ex.kind = Exchange::Kind::Handshake;
    }

    const bool is_register = ex.kind == Exchange::Kind::Read || ex.kind == Exchange::Kind::Write;
    FaultDraw fault;
    if (!copy &&
        (is_register || (ex.kind == Exchange::Kind::Handshake && config.faults_on_handshake))) {
        fault = im.faults.draw();
    }
    InjectedFaults& injected = im.counters.faults;
    // A request lost on the way never reached the device, so it releases nothing.
    if (is_register && !fault.lose_request) im.release_held_replies();
    if (fault.lose_request) {
        ex.lost_request = true;
        ++injected.lost_requests;
    } else if (is_register) {
        ex.address = static_cast<std::uint16_t>(buf[2] << 8 | buf[3]);
        if (ex.kind == Exchange::Kind::Read) {
            ++im.counters.reads;
            ex.word = device_.read(ex.address);
            reply.assign(kReadRequestSize, 0);
            std::memcpy(reply.data() + kRegisterValueAt, ex.word.data(), 8);
        } else {
            ++im.counters.writes;
            std::memcpy(ex.word.data(), buf + kRegisterValueAt, 8);
            device_.write(ex.address, ex.word);
            reply.assign(config.long_write_replies ? kReadRequestSize : kWriteRequestSize, 0);
        }
        reply[1] = fault.nak ? 0x00 : kAck;
        if (fault.nak) {
            ++injected.naks;
            ex.faults += " nak";
        }
        if (!config.no_echo) {
            reply[2] = buf[2];
            reply[3] = buf[3];
        }
        if (fault.dup_request) {
            // The network's second copy of the request reaches the device a little later.
            ++injected.dup_requests;
            ex.faults += " dup-request";
            im.schedule(Impl::Delayed{start_time() + std::chrono::microseconds(config.dup_gap_us),
                                      fd, from, std::vector<std::uint8_t>(buf, buf + size),
                                      false, true});
        }
    } else if (ex.kind == Exchange::Kind::Handshake) {
        ++im.counters.handshakes;
        const std::string& text = im.handshake_reply;
        reply.assign(text.begin(), text.end());
        if (reply.size() < kHandshakeReplySize) reply.push_back(0);
        if (reply.size() > kHandshakeReplySize) reply.resize(kHandshakeReplySize);
    }

    if (!reply.empty() && fault.lose_reply) {
        ++injected.lost_replies;
        ex.faults += " lost-reply";
    }
    if (!reply.empty() && !fault.lose_reply) {
        ex.replied = true;
        int out_fd = fd;
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
                       reinterpret_cast<const sockaddr*>(&from), sizeof from);
                ++injected.foreign_datagrams;
            }
        }
        const bool later = fault.late || fault.dup || config.reply_delay_us > 0;
        const auto ready = later ? start_time() + std::chrono::microseconds(config.reply_delay_us)
                                 : Clock::time_point{};
        const auto leaves = fault.late ? ready + std::chrono::milliseconds(fault.late_ms) : ready;
        if (fault.late) {
            ++injected.late_replies;
            if (fault.late_next) ++injected.late_held;
            ex.faults += fault.late_next ? " late-next" : " late " + std::to_string(fault.late_ms) + "ms";
        }
        if (fault.dup) {
            ++injected.dup_replies;
            ex.faults += " dup";
            im.schedule(Impl::Delayed{leaves + std::chrono::microseconds(config.dup_gap_us), out_fd,
                                      from, reply, fault.late_next, false});
        }
        if (fault.late || config.reply_delay_us > 0) {
            im.schedule(
                Impl::Delayed{leaves, out_fd, from, reply, fault.late_next, false});
        } else {
            if (timed) send_started = Clock::now();
            sendto(out_fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                   sizeof from);
        }
        ++im.counters.replies;
    }
    if (im.retire_after_reply) {
        im.retire_after_reply = false;
        im.retire_old_socket();
    }
    if (options_.log_exchanges) im.log.push_back(ex);
    if (options_.on_exchange) options_.on_exchange(ex);
    if (!timed) return;
    const auto finished = Clock::now();
    if (send_started == Clock::time_point{}) send_started = finished;
    ++im.counters.timed;
    im.counters.service_ns += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(send_started - started).count());
    im.counters.send_ns += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(finished - send_started).count());
}

}  // namespace kestrel::sim
