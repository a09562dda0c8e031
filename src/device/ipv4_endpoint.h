// Where a device answers: its IPv4 address and port, both already checked. A plain value, any
// thread.
#pragma once

#include <string>

#include "device/port.h"
#include "link/ipv4.h"

namespace kestrel::device {

struct Ipv4Endpoint {
    Ipv4Net address;  // network order
    Port port;

    std::string address_text() const {  // "A.B.C.D"
        const auto bytes = ipv4_bytes(address);
        return format_ipv4(bytes.data());
    }
    std::string text() const {  // "A.B.C.D:PORT"
        return address_text() + ":" + std::to_string(port.value());
    }
    friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
};

}  // namespace kestrel::device
