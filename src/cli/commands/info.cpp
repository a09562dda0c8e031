// info: the device's configuration block and its flash chip.
#include <mutex>

#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/multicast_read.h"
#include "cli/exit_codes.h"
#include "cli/settings_step.h"
#include "flash/core/flash_id.h"
#include "link/transport.h"

namespace kestrel::cli {

int cmd_info(Session& session, ArgList args) {
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("info", *bad, "info"));
    }
    if (!args.positionals().empty()) {
        return usage_error(
            session,
            "info takes no arguments (for example: kestrelctl --device 192.168.1.50:5000 info)");
    }
    if (const int c = session.connect()) return session.finish(c);

    device::DeviceConfig config;
    if (const int c = read_config(session, config)) return session.finish(c);
    if (!config.multicast_ip) {
        config.multicast_ip = read_multicast_ip();
        if (!config.multicast_ip) {
            return session.finish(
                session.fail(kExitLink, "the multicast address could not be read clean"));
        }
    }
    put_config(session, config);

    FlashId id{};
    bool flash_ok = false;
    {
        std::lock_guard<std::recursive_mutex> hold(link_lock());
        flash_ok = check_flash_id(id);
    }
    session.json().add("flash_id", flash_id_text(id)).add("flash_ok", flash_ok);
    session.say("flash_id      " + flash_id_text(id) +
                (flash_ok ? " (ok)" : " (not the expected c22016)"));
    if (!flash_ok) {
        return session.finish(session.fail(kExitFlashChip, wrong_chip_text(id)));
    }
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
