// The address texts a user types: dotted quads, IP:PORT and MAC texts.
#include "cli/endpoint.h"
#include "device/address.h"
#include "device/mac.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view text = fuzz::as_text(data, size);
    if (const auto quad = device::parse_dotted_quad(text)) {
        fuzz::require(device::check_server_ip(text, "f").ok());
    }
    (void)device::check_device_ip(text, "f");
    (void)device::check_multicast_ip(text, "f");
    if (const auto ep = cli::parse_endpoint(text)) {
        // What parses once parses again to the same endpoint from its own text.
        const auto again = cli::parse_endpoint(ep->text());
        fuzz::require(again && again->text() == ep->text());
    }
    if (const auto mac = device::parse_mac_text(text)) {
        // A MAC that parses prints as a text that parses to the same bytes.
        fuzz::require(device::parse_mac_text(device::mac_text(*mac)).value_opt() == mac.value());
        fuzz::require(device::mac_pairs_as_typed(text).size() == 12);
    }
    return 0;
}
