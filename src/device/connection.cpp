#include "device/connection.h"

#include "link/transport.h"

namespace kestrel::device {

ConnectResult connect_device(const std::string& typed, Ipv4Net address, std::uint16_t port) {
    ConnectResult result;
    result.link_open = open_link(typed, port);
    if (!result.link_open) return result;
    set_peer_address(address, port);
    result.handshake = connect_handshake();
    return result;
}

}  // namespace kestrel::device
