// The one entry point every fuzz target defines; libFuzzer or replay_main.cpp calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace kestrel::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Stops the run on a broken invariant, so that the fuzzer keeps the input.
inline void require(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace kestrel::fuzz
