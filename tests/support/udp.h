// Small UDP helpers shared by the tests: loopback sockets, free ports, and a warm-up of a
// freshly started simulator.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>

namespace kestrel::test {

// A UDP socket bound to address and an ephemeral port, or -1.
inline int bind_loopback(const char* address = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_aton(address, &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline std::uint16_t local_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A UDP port on address that nothing is bound to at the moment of the call.
inline std::uint16_t free_udp_port(const char* address = "127.0.0.1") {
    const int fd = bind_loopback(address);
    const std::uint16_t port = local_port(fd);
    close(fd);
    return port;
}

// The link gives the device 50 ms to answer. One handshake with a patient socket first lets the
// server thread run its cold path outside that window, so that a loaded machine does not turn
// the first exchange of a test into a time-out.
inline void warm_up(const char* address, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval patience{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_aton(address, &to.sin_addr);
    const char hello[] = "serconnectokornot";
    sendto(fd, hello, sizeof hello, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char reply[100];
    recv(fd, reply, sizeof reply, 0);
    close(fd);
}

}  // namespace kestrel::test
