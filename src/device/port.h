// A UDP port a device answers on: 1 to 65535, never 0. Made only through from(), so a Port in
// hand is always one the link can address. A plain value, any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace kestrel::device {

class Port {
  public:
    // The port, or nullopt for a number outside 1..65535.
    static constexpr std::optional<Port> from(long number) {
        if (number < 1 || number > 65535) return std::nullopt;
        return Port(static_cast<std::uint16_t>(number));
    }

    constexpr std::uint16_t value() const { return value_; }
    friend constexpr bool operator==(Port, Port) = default;

  private:
    constexpr explicit Port(std::uint16_t value) : value_(value) {}
    std::uint16_t value_;
};

}  // namespace kestrel::device
