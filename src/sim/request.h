// What a datagram that reached the simulated device asks for: its kind, and for a register
// request the address and (for a write) the word. Pure decoding; the server acts on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/register_word.h"

namespace kestrel::sim {

enum class DatagramKind { Read, Write, Handshake, QuitAck, Malformed };

struct Request {
    DatagramKind kind = DatagramKind::Malformed;
    std::uint16_t address = 0;  // register requests only
    RegisterWord word{};        // the word a write carries
    bool is_register() const { return kind == DatagramKind::Read || kind == DatagramKind::Write; }
};

// A read is 80h and at least 4 bytes, a write 00h and at least 12 bytes, "q" NUL a quit
// acknowledgement, a text starting with the handshake text a handshake; anything else is
// Malformed.
[[nodiscard]] Request decode_request(const std::uint8_t* bytes, std::size_t size);

}  // namespace kestrel::sim
