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

#include "sim/ipv4_text.h"
#include "sim/server_state.h"

namespace kestrel::sim {

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

void Server::Impl::schedule(Delayed d) {
    auto at = std::upper_bound(delayed.begin(), delayed.end(), d.when,
                               [](Clock::time_point t, const Delayed& e) { return t < e.when; });
    delayed.insert(at, std::move(d));
}

void Server::Impl::release_held_replies(std::uint32_t link_delay_us) {
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

void Server::Impl::retire_old_socket() {
    const int fd = old_fd;
    if (fd < 0) return;
    std::erase_if(delayed, [fd](const Delayed& d) { return d.fd == fd; });
    std::erase_if(rx_wait, [fd](const Waiting& w) { return w.fd == fd; });
    close_fd(old_fd);
}

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
    return {impl_->log.begin(), impl_->log.end()};
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

}  // namespace kestrel::sim
