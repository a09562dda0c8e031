// The configuration block the simulated device keeps: what the mcu reads and writes through the
// host mailbox, in the layout of protocol/config_block.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/config_block.h"

namespace kestrel::sim {

struct ConfigBlock {
    std::array<std::uint8_t, kConfigBlockSize> bytes{};

    std::array<std::uint8_t, 6> mac() const;
    std::uint32_t ip_net() const;  // network order, as the block stores it
    std::uint16_t port() const;
    std::uint8_t multicast_enable() const;
    std::uint32_t multicast_ip_net() const;
    std::uint16_t ts_port() const;

    void set_mac(const std::array<std::uint8_t, 6>& mac);
    void set_ip_net(std::uint32_t ip);
    void set_port(std::uint16_t port);
    void set_multicast_enable(std::uint8_t enable);
    void set_multicast_ip_net(std::uint32_t ip);
    void set_ts_port(std::uint16_t port);
};

}  // namespace kestrel::sim
