// The device argument: "A.B.C.D:PORT", an address as device::parse_dotted_quad takes it and a
// port 1 to 65535, nothing before or after; or, for --device and a plan's device cell, a host
// name in place of A.B.C.D. Pure functions but for the resolver; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "device/ipv4_endpoint.h"
#include "platform/status.h"

namespace kestrel::cli {

using Endpoint = device::Ipv4Endpoint;

// "A.B.C.D:PORT"; nullopt for any other text (the caller names the argument in its message).
std::optional<Endpoint> parse_endpoint(std::string_view text);

// "HOST:PORT" where HOST is a dotted quad or a name, resolved once to its first IPv4 address
// (getaddrinfo; may wait for the resolver). BadInput when the text is not HOST:PORT or the name
// does not resolve (the resolver's reason named); the text is shown in the reason escaped and
// cut (shown_text.h). The one resolver for --device and the batch plan's device cells.
[[nodiscard]] Result<Endpoint> resolve_endpoint(std::string_view text);

// A decimal number of 1 to max_digits digits, no sign, no greater than max.
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits, unsigned max);

}  // namespace kestrel::cli
