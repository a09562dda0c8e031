#include "link/window_setting.h"

#include <charconv>

namespace kestrel {

std::optional<WindowSetting> parse_window_setting(std::string_view text) {
    if (text == "auto") return WindowSetting{kAutoWindowStart, true};
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    if (n < 1 || n > kMaxWindow) return std::nullopt;
    return WindowSetting{n, false};
}

}  // namespace kestrel
