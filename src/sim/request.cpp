#include "sim/request.h"

#include <cstring>
#include <string_view>

#include "protocol/wire.h"

namespace kestrel::sim {

Request decode_request(const std::uint8_t* bytes, std::size_t size) {
    Request r;
    if (size >= 4 && bytes[0] == kReadFlag) {
        r.kind = DatagramKind::Read;
    } else if (size >= kRegisterValueAt + r.word.size() && bytes[0] == kWriteFlag) {
        r.kind = DatagramKind::Write;
        std::memcpy(r.word.data(), bytes + kRegisterValueAt, r.word.size());
    } else if (size == 2 && bytes[0] == kHandshakeQuit && bytes[1] == 0) {
        r.kind = DatagramKind::QuitAck;
    } else if (std::string_view(reinterpret_cast<const char*>(bytes), size)
                   .starts_with(kHandshakeText)) {
        r.kind = DatagramKind::Handshake;
    }
    if (r.is_register()) r.address = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
    return r;
}

}  // namespace kestrel::sim
