#include "cli/commands/multicast_read.h"

#include <array>
#include <cstdint>

#include "link/mailbox.h"
#include "link/transport.h"
#include "protocol/config_block.h"

namespace kestrel::cli {

constexpr int kFieldReadTries = 3;

std::optional<Ipv4Net> read_multicast_ip() {
    for (int attempt = 0; attempt < kFieldReadTries; ++attempt) {
        std::array<std::uint8_t, 8> buf{};
        const MailboxResult r = mailbox_read_block(kCfgMulticastIpLen, kCfgMulticastIpOffset, buf);
        if (r.silent) return std::nullopt;
        if (r.ok() && confirm_in_step()) return ipv4_from_bytes(buf.data());
    }
    return std::nullopt;
}

}  // namespace kestrel::cli
