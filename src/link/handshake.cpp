#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "link/link_counters.h"
#include "link/link_state.h"
#include "link/transport.h"
#include "link/udp_socket.h"
#include "platform/ticks.h"
#include "platform/trace.h"

namespace kestrel {
namespace {

using namespace link_detail;

std::atomic<std::FILE*> g_handshake_notice{stdout};

}  // namespace

void set_handshake_notice_stream(std::FILE* stream) {
    g_handshake_notice.store(stream);
}

bool connect_handshake() {
    LinkState& s = state();
    if (s.fd < 0) return false;
    char text[kHandshakeReplySize] = {};
    std::strncpy(text, kHandshakeText, sizeof text - 1);
    discard_waiting(s.fd);
    if (!send_datagram(s.fd, s.peer, text, std::strlen(text) + 1)) return false;

    std::uint8_t reply[kHandshakeReplySize] = {};
    std::size_t length = 0;
    const std::uint64_t deadline = monotonic_us() + kLinkTimeoutMs * 1000u;
    std::uint8_t buf[kReceiveBuffer];
    while (wait_readable(s.fd, deadline)) {
        Datagram d;
        if (!take_datagram(s.fd, buf, sizeof buf, d)) continue;
        if (d.from.sin_family != AF_INET || d.from.sin_addr.s_addr != s.peer.sin_addr.s_addr) {
            bump(counters().foreign_dropped);
            continue;
        }
        s.peer.sin_port = d.from.sin_port;  // the device answers from here from now on
        s.port_learnt = true;
        length = std::min(d.length, sizeof reply);
        std::memcpy(reply, buf, length);
        break;
    }
    if (length > 0 && reply[0] == kHandshakeQuit) {
        const char quit[2] = {kHandshakeQuit, '\0'};
        (void)send_datagram(s.fd, s.peer, quit, sizeof quit);
        if (std::FILE* notice = g_handshake_notice.load()) {
            std::fputs("Chat end!\n", notice);
            std::fflush(notice);
        } else {
            trace("Chat end!");
        }
    }
    const void* nul = std::memchr(reply, '\0', length);
    const std::size_t text_length =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - reply) : length;
    const std::string_view reply_text(reinterpret_cast<const char*>(reply), text_length);
    const std::size_t at = reply_text.find(kHandshakeToken);
    return at != std::string_view::npos && at >= 1;
}

}  // namespace kestrel
