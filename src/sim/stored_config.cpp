#include "sim/stored_config.h"

#include <cstring>

namespace kestrel::sim {
namespace {

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
void put_be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

}  // namespace

std::array<std::uint8_t, 6> ConfigBlock::mac() const {
    std::array<std::uint8_t, 6> out{};
    std::memcpy(out.data(), bytes.data() + kCfgMacOffset, out.size());
    return out;
}
std::uint32_t ConfigBlock::ip_net() const {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + kCfgIpOffset, 4);
    return v;
}
std::uint16_t ConfigBlock::port() const {
    return be16(bytes.data() + kCfgPortOffset);
}
std::uint8_t ConfigBlock::multicast_enable() const {
    return bytes[kCfgMulticastEnOffset];
}
std::uint32_t ConfigBlock::multicast_ip_net() const {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + kCfgMulticastIpOffset, 4);
    return v;
}
std::uint16_t ConfigBlock::ts_port() const {
    return be16(bytes.data() + kCfgTsPortOffset);
}

void ConfigBlock::set_mac(const std::array<std::uint8_t, 6>& mac) {
    std::memcpy(bytes.data() + kCfgMacOffset, mac.data(), mac.size());
}
void ConfigBlock::set_ip_net(std::uint32_t ip) {
    std::memcpy(bytes.data() + kCfgIpOffset, &ip, 4);
}
void ConfigBlock::set_port(std::uint16_t port) {
    put_be16(bytes.data() + kCfgPortOffset, port);
}
void ConfigBlock::set_multicast_enable(std::uint8_t enable) {
    bytes[kCfgMulticastEnOffset] = enable;
}
void ConfigBlock::set_multicast_ip_net(std::uint32_t ip) {
    std::memcpy(bytes.data() + kCfgMulticastIpOffset, &ip, 4);
}
void ConfigBlock::set_ts_port(std::uint16_t port) {
    put_be16(bytes.data() + kCfgTsPortOffset, port);
}

}  // namespace kestrel::sim
