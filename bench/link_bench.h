// Per-exchange measurements: the bare UDP floor and the link's own exchanges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stats.h"

namespace kestrel::bench {

struct Measured {
    Summary time;
    std::vector<double> samples_us;  // one per exchange, in the order measured
    double cpu_us_per_exchange = 0;  // user + system time of this process
};

// Ping-pong of `size`-byte datagrams with the link's socket options: a blocking receive, or
// with spin_us > 0 one that first spins on the non-blocking socket, as the link does.
Measured measure_floor(std::uint16_t echo_port, std::size_t size, int count,
                       std::uint32_t spin_us = 0);

// The spinning floor received as the link receives: with the kernel's arrival stamp
// (SO_TIMESTAMPNS, recvmsg), which the link needs to judge a reply by when it came.
Measured measure_stamped_floor(std::uint16_t echo_port, std::size_t size, int count,
                               std::uint32_t spin_us);

// read_reg of HOST_CTRL, or write_reg to a plain register, against a device on loopback.
Measured measure_read_reg(std::uint16_t device_port, int count);
Measured measure_write_reg(std::uint16_t device_port, int count);

// The device work of one Start press: handshake and the six configuration block reads. ms.
Summary measure_start_press(std::uint16_t device_port, int count);

}  // namespace kestrel::bench
