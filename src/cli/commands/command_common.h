// What the kestrelctl commands share in their words: bad usage reported the one way, and the
// flash chip's id as they show it. Called on the command's thread; nothing is kept.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cli/session.h"

namespace kestrel::cli {

// Reports bad usage of a command: records the message (which carries an example) and finishes
// the session with exit 2. Nothing has been sent.
int usage_error(Session& session, const std::string& message);

// "c22016"
std::string flash_id_text(const std::array<std::uint8_t, 3>& id);

// "flash chip c22017, expected c22016"
std::string wrong_chip_text(const std::array<std::uint8_t, 3>& id);

}  // namespace kestrel::cli
