#include "link/udp_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/ticks.h"

namespace kestrel {
namespace {

constexpr int kSocketTimeoutMs = 50;
constexpr std::size_t kScratch = 512;

}  // namespace

int open_udp_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    timeval tv{};
    tv.tv_usec = kSocketTimeoutMs * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return fd;
}

bool take_datagram(int fd, std::uint8_t* buf, std::size_t size, Datagram& d) {
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = &d.from;
    msg.msg_namelen = sizeof d.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0) return false;
    d.length = static_cast<std::size_t>(got);
    d.arrived_real_ns = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            d.arrived_real_ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                                static_cast<std::uint64_t>(ts.tv_nsec);
        }
    }
    return true;
}

bool wait_readable(int fd, std::uint64_t deadline_us) {
    for (;;) {
        const std::uint64_t now = monotonic_us();
        if (now >= deadline_us) return false;
        const std::uint64_t left = deadline_us - now;
        pollfd pfd{fd, POLLIN, 0};
        timespec ts{static_cast<time_t>(left / 1000000u),
                    static_cast<long>((left % 1000000u) * 1000u)};
        const int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

int discard_waiting(int fd) {
    std::uint8_t scratch[kScratch];
    Datagram d;
    int n = 0;
    while (take_datagram(fd, scratch, sizeof scratch, d))
        ++n;
    return n;
}

bool send_datagram(int fd, const sockaddr_in& to, const void* data, std::size_t size) {
    const ssize_t sent =
        sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(size);
}

std::uint64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace kestrel
