#include "cli/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include "cli/shown_text.h"
#include "device/address.h"

namespace kestrel::cli {
std::optional<unsigned> parse_decimal(std::string_view text, std::size_t max_digits, unsigned max) {
    if (text.empty() || text.size() > max_digits) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

std::optional<Endpoint> parse_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto ip = device::parse_dotted_quad(text.substr(0, colon));
    const auto number = parse_decimal(text.substr(colon + 1), 5, 65535);
    const auto port = number ? device::Port::from(*number) : std::nullopt;
    if (!ip || !port) return std::nullopt;
    return Endpoint{*ip, *port};
}

Result<Endpoint> resolve_endpoint(std::string_view text) {
    if (auto direct = parse_endpoint(text)) return *direct;
    const std::size_t colon = text.rfind(':');
    const auto port =
        colon == std::string_view::npos
            ? std::nullopt
            : device::Port::from(parse_decimal(text.substr(colon + 1), 5, 65535).value_or(0));
    const std::string host(colon == std::string_view::npos ? text : text.substr(0, colon));
    const bool name_like =
        !host.empty() && host.size() <= 253 &&
        std::all_of(host.begin(), host.end(),
                    [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
                    }) &&
        !std::all_of(host.begin(), host.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
        });
    // A text the resolver would read as a number in another form (0x7f.1, 127.1) is no name.
    in_addr numeric{};
    if (!port || !name_like || ::inet_aton(host.c_str(), &numeric) != 0) {
        return Status::failure(
            StatusCode::BadInput,
            quoted_text(text) +
                " is not HOST:PORT (for example 192.168.1.50:5000 or unit7.lab:5000)");
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (found) ::freeaddrinfo(found);
        return Status::failure(StatusCode::BadInput, "the name " + quoted_text(host) +
                                                         " does not resolve to an IPv4 address (" +
                                                         ::gai_strerror(rc) + ")");
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const Endpoint e{in->sin_addr.s_addr, *port};
    ::freeaddrinfo(found);
    return e;
}

}  // namespace kestrel::cli
