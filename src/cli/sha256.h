// SHA-256 of a byte string, as 64 lowercase hex digits (the image digest in reports).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrel::cli {

std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace kestrel::cli
