#include "link_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <vector>

#include "link/mailbox.h"
#include "link/transport.h"
#include "protocol/config_block.h"

namespace kestrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

Measured time_each(int count, const std::function<void()>& one) {
    for (int i = 0; i < count / 10 + 10; ++i)
        one();  // warm-up
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    const double cpu0 = cpu_seconds();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        one();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Measured m;
    m.cpu_us_per_exchange = (cpu_seconds() - cpu0) * 1e6 / count;
    m.time = summarize(us);
    m.samples_us = std::move(us);
    return m;
}

// A socket with the link's 50 ms time-outs.
int floor_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(port);
    return peer;
}

}  // namespace

Measured measure_floor(std::uint16_t echo_port, std::size_t size, int count,
                       std::uint32_t spin_us) {
    const int fd = floor_socket();
    sockaddr_in peer = loopback(echo_port);
    std::vector<std::uint8_t> request(size, 0), reply(size, 0);
    request[0] = 0x80;
    const Measured m = time_each(count, [&] {
        sendto(fd, request.data(), size, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (spin_us > 0) {
            const auto until = Clock::now() + std::chrono::microseconds(spin_us);
            do {
                len = sizeof from;
                if (recvfrom(fd, reply.data(), size, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &len) >= 0)
                    return;
                sched_yield();
            } while (Clock::now() < until);
        }
        len = sizeof from;
        recvfrom(fd, reply.data(), size, 0, reinterpret_cast<sockaddr*>(&from), &len);
    });
    close(fd);
    return m;
}

Measured measure_stamped_floor(std::uint16_t echo_port, std::size_t size, int count,
                               std::uint32_t spin_us) {
    const int fd = floor_socket();
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in peer = loopback(echo_port);
    std::vector<std::uint8_t> request(size, 0), reply(512, 0);
    request[0] = 0x80;
    auto receive = [&](int flags) {
        sockaddr_in from{};
        iovec iov{reply.data(), reply.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        return recvmsg(fd, &msg, flags | MSG_TRUNC) >= 0;
    };
    const Measured m = time_each(count, [&] {
        sendto(fd, request.data(), size, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        const auto until = Clock::now() + std::chrono::microseconds(spin_us);
        do {
            if (receive(MSG_DONTWAIT)) return;
            sched_yield();
        } while (Clock::now() < until);
        receive(0);
    });
    close(fd);
    return m;
}

Measured measure_read_reg(std::uint16_t device_port, int count) {
    open_link("127.0.0.1", device_port);
    RegisterWord w{};
    // Two registers in turn, as transfers read: the same register twice in a row with the same
    // answer is held to the link's duplicate guard (a settle window), which polls pay.
    int i = 0;
    return time_each(count, [&] { read_reg((i++ & 1) ? HOST_CMD : HOST_CTRL, w); });
}

Measured measure_write_reg(std::uint16_t device_port, int count) {
    open_link("127.0.0.1", device_port);
    const RegisterWord w{1, 2, 3, 4, 5, 6, 7, 8};
    return time_each(count, [&] { write_reg(0x0200, w); });
}

Summary measure_start_press(std::uint16_t device_port, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        open_link("127.0.0.1", device_port);
        connect_handshake();
        std::uint8_t buf[8];
        mailbox_read_block(kCfgMacLen, kCfgMacOffset, buf);
        mailbox_read_block(kCfgIpLen, kCfgIpOffset, buf);
        mailbox_read_block(kCfgPortLen, kCfgPortOffset, buf);
        mailbox_read_block(kCfgTsPortLen, kCfgTsPortOffset, buf);
        mailbox_read_block(kCfgMulticastEnLen, kCfgMulticastEnOffset, buf);
        mailbox_read_block(kCfgMulticastIpLen, kCfgMulticastIpOffset, buf);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return summarize(std::move(ms));
}

}  // namespace kestrel::bench
