// info, set and reset: the device commands that are not flash transfers.
#include <mutex>

#include "cli/command_table.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"
#include "cli/settings_step.h"
#include "flash/core/flash_id.h"
#include "link/ipv4.h"
#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/format.h"
#include "protocol/config_block.h"

namespace kestrel::cli {
namespace {

constexpr int kFieldReadTries = 3;

// The multicast address, which the block read skips while multicast is off.
std::optional<Ipv4Net> read_multicast_ip() {
    for (int attempt = 0; attempt < kFieldReadTries; ++attempt) {
        std::array<std::uint8_t, 8> buf{};
        const MailboxResult r = mailbox_read_block(kCfgMulticastIpLen, kCfgMulticastIpOffset, buf);
        if (r.silent) return std::nullopt;
        if (r.ok() && confirm_in_step()) return ipv4_from_bytes(buf.data());
    }
    return std::nullopt;
}

}  // namespace

std::string flash_id_text(const std::array<std::uint8_t, 3>& id) {
    return format("%02x%02x%02x", id[0], id[1], id[2]);
}

std::string wrong_chip_text(const std::array<std::uint8_t, 3>& id) {
    return "flash chip " + flash_id_text(id) + ", expected " + flash_id_text(kExpectedFlashId);
}

int usage_error(Session& session, const std::string& message) {
    return session.finish(session.fail(kExitUsage, message));
}

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
