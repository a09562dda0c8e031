#include "cli/commands/command_common.h"

#include "cli/exit_codes.h"
#include "flash/core/flash_id.h"
#include "platform/format.h"

namespace kestrel::cli {

std::string flash_id_text(const std::array<std::uint8_t, 3>& id) {
    return format("%02x%02x%02x", id[0], id[1], id[2]);
}

std::string wrong_chip_text(const std::array<std::uint8_t, 3>& id) {
    return "flash chip " + flash_id_text(id) + ", expected " + flash_id_text(kExpectedFlashId);
}

int usage_error(Session& session, const std::string& message) {
    return session.finish(session.fail(kExitUsage, message));
}

}  // namespace kestrel::cli
