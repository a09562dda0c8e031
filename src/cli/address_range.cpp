#include "cli/address_range.h"

#include <arpa/inet.h>

#include "cli/endpoint.h"
#include "cli/shown_text.h"
#include "device/address.h"

namespace kestrel::cli {
namespace {

std::optional<std::uint32_t> host_address(std::string_view text) {
    const auto net = device::parse_dotted_quad(text);
    if (!net) return std::nullopt;
    return ntohl(*net);
}

}  // namespace

std::string dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

Result<AddressRange> parse_address_range(std::string_view text) {
    const std::string example = " (for example 192.168.1.0/24 or 192.168.1.10-40)";
    const Status not_a_range = Status::failure(
        StatusCode::BadInput,
        "scan: " + quoted_text(text) + " is not A.B.C.D/N, A.B.C.D-E or A.B.C.D" + example);
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto base = host_address(text.substr(0, slash));
        const auto bits = parse_decimal(text.substr(slash + 1), 2, 32);
        if (!base || !bits) return not_a_range;
        const std::uint64_t size = std::uint64_t{1} << (32 - *bits);
        const std::uint32_t mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (32 - *bits);
        AddressRange r{*base & mask, size};
        if (*bits <= 30) {  // neither the network nor the broadcast address is a device
            r.first += 1;
            r.count -= 2;
        }
        return r;
    }
    if (const auto dash = text.find('-'); dash != std::string_view::npos) {
        const auto base = host_address(text.substr(0, dash));
        const auto last = parse_decimal(text.substr(dash + 1), 3, 255);
        if (!base || !last) return not_a_range;
        if (*last < (*base & 0xFF)) {
            return Status::failure(
                StatusCode::BadInput,
                "scan: in " + quoted_text(text) + " the last number is below the first" + example);
        }
        return AddressRange{*base, *last - (*base & 0xFF) + 1};
    }
    const auto one = host_address(text);
    if (!one) return not_a_range;
    return AddressRange{*one, 1};
}

}  // namespace kestrel::cli
