#include "device/connection.h"

#include "link/transport.h"

namespace kestrel::device {

Status connect_device(const std::string& typed, Ipv4Net address, std::uint16_t port) {
    if (!open_link(typed, port)) {
        return Status::failure(StatusCode::SystemError, "can't open a UDP socket");
    }
    set_peer_address(address, port);
    if (!connect_handshake()) {
        return Status::failure(StatusCode::NoAnswer, "the device did not answer the handshake");
    }
    return {};
}

}  // namespace kestrel::device
