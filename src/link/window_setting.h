// How many register exchanges the link may keep in flight: one (the device's described pace),
// up to a number given, or an adaptive number up to kAutoWindowCap. Both back off when losses
// look like the device's receive queue overflowing. A plain value, parsed once at the edge
// (a command-line option, an environment variable, a plan cell).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kestrel {

// The most requests a window keeps in flight, fixed or adaptive.
inline constexpr std::size_t kMaxWindow = 64;
// Where an adaptive window starts, and how far it may grow.
inline constexpr std::size_t kAutoWindowStart = 4;
inline constexpr std::size_t kAutoWindowCap = 32;

struct WindowSetting {
    std::size_t size = 1;   // the most in flight, or where adaptive starts
    bool adaptive = false;  // grows past size while runs come clean
    [[nodiscard]] bool off() const { return size <= 1 && !adaptive; }
    friend bool operator==(const WindowSetting&, const WindowSetting&) = default;
};

// "auto", or a whole number 1..kMaxWindow; nullopt for anything else.
[[nodiscard]] std::optional<WindowSetting> parse_window_setting(std::string_view text);

}  // namespace kestrel
