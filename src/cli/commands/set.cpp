// set: one configuration change, then the block as the device holds it now.
#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/commands/multicast_read.h"
#include "cli/exit_codes.h"
#include "cli/settings_step.h"

namespace kestrel::cli {

int cmd_set(Session& session, ArgList args) {
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("set", *bad, "set ts-port 1234"));
    }
    const auto words = args.positionals();
    if (words.size() != 2) {
        return usage_error(session,
                           "set takes WHAT and VALUE (for example: set ip 192.168.1.60:5000)");
    }
    const Result<Setting> setting = parse_setting(words[0], words[1]);
    if (!setting) return usage_error(session, setting.reason());
    if (const int c = session.connect()) return session.finish(c);
    if (const int c = apply_setting(session, *setting)) return session.finish(c);
    device::DeviceConfig config;
    if (const int c = read_config(session, config)) return session.finish(c);
    // The block read skips the multicast address while multicast is off; it is shown all the
    // same, so that the value just set is seen.
    if (!config.multicast_ip) config.multicast_ip = read_multicast_ip();
    put_config(session, config);
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
