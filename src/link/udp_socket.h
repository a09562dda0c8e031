// The link's UDP socket calls: datagrams taken with the kernel's arrival stamp, waits bounded
// by a monotonic deadline. Stateless; the link state owns the descriptor and calls these under
// the link lock.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace kestrel {

struct Datagram {
    std::size_t length = 0;             // its whole length, also when cut to the buffer
    std::uint64_t arrived_real_ns = 0;  // the kernel's arrival stamp (CLOCK_REALTIME), 0 if none
    sockaddr_in from{};
};

// A new IPv4 datagram socket with 50 ms send and receive time-outs and arrival stamps; -1 when
// the socket could not be made.
[[nodiscard]] int open_udp_socket();

// Takes one waiting datagram into buf (cut to size) without waiting. False when none waits or
// the socket failed (errno tells).
[[nodiscard]] bool take_datagram(int fd, std::uint8_t* buf, std::size_t size, Datagram& d);

// Waits until a datagram is waiting or the monotonic deadline (us) passes; false at the
// deadline or on a socket error.
[[nodiscard]] bool wait_readable(int fd, std::uint64_t deadline_us);

// Drops every datagram already waiting; returns how many there were.
int discard_waiting(int fd);

// Sends the whole datagram; false when the socket took less.
[[nodiscard]] bool send_datagram(int fd, const sockaddr_in& to, const void* data, std::size_t size);

// Nanoseconds on CLOCK_REALTIME, the clock of the arrival stamps.
[[nodiscard]] std::uint64_t realtime_ns();

}  // namespace kestrel
