// The datagrams of the register link and of the handshake before it.
//
// A read request is 22 bytes: 80h, 00h, the register address big-endian, then zeros; its reply
// is taken into 22 bytes and carries the register's 8-byte value in bytes 4..11. A write request
// is 18 bytes: 00h, 00h, the address big-endian, the 8-byte value, six zeros; its reply is taken
// into 18 bytes. A reply acknowledges with 88h in byte 1.
//
// The handshake: the host sends "serconnectokornot" and its NUL; the device answers with a text
// of at most 100 bytes that holds "connectok" after its first byte. A reply starting with "q"
// asks the host to end the chat with "q" and its NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrel {

inline constexpr std::uint8_t kReadFlag = 0x80;   // byte 0 of a read request
inline constexpr std::uint8_t kWriteFlag = 0x00;  // byte 0 of a write request
inline constexpr std::uint8_t kAck = 0x88;        // byte 1 of an acknowledging reply

inline constexpr std::size_t kReadRequestSize = 22;
inline constexpr std::size_t kWriteRequestSize = 18;
inline constexpr std::size_t kRegisterValueAt = 4;  // eight bytes, in request and read reply

inline constexpr const char* kHandshakeText = "serconnectokornot";
inline constexpr std::string_view kHandshakeToken = "connectok";
inline constexpr std::size_t kHandshakeReplySize = 100;
inline constexpr char kHandshakeQuit = 'q';

}  // namespace kestrel
