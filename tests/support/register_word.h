// A register word written out byte by byte in tests: word_of({0x02, 0x00, 0x13}) is 02 00 13 00.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "protocol/register_word.h"

namespace kestrel::test {

// The bytes given, in order, then zeros.
inline RegisterWord word_of(std::initializer_list<std::uint8_t> bytes) {
    RegisterWord w{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), w.size()), w.begin());
    return w;
}

}  // namespace kestrel::test
