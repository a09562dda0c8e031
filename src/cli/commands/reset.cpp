// reset: restart the device, acknowledged.
#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"
#include "link/link_watch.h"
#include "link/mailbox.h"

namespace kestrel::cli {

int cmd_reset(Session& session, ArgList args) {
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, unknown_option("reset", *bad, "reset"));
    }
    if (!args.positionals().empty())
        return usage_error(session, "reset takes no arguments (for example: reset)");
    if (const int c = session.connect()) return session.finish(c);
    LinkWatch watch;
    (void)reset_device(RegisterWord{});
    if (!watch.clean()) {
        return session.finish(session.fail(kExitLink, "the reset command was not acknowledged"));
    }
    session.say("reset sent");
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
