// info and reset: the device commands that are not flash transfers.
#include <mutex>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "flash/core/flash_id.h"
#include "link/ipv4.h"
#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/format.h"

namespace kestrel::cli {
namespace {

constexpr int kFieldReadTries = 3;

// One configuration field read until the link delivered it clean; false when it never did.
bool read_field(std::uint16_t length, std::uint16_t offset, std::array<std::uint8_t, 8>& buf) {
    for (int attempt = 0; attempt < kFieldReadTries; ++attempt) {
        LinkWatch watch;
        buf.fill(0);
        mailbox_read_block(length, offset, buf);
        if (watch.clean() && watch.exchanges() > 0) return true;
        if (watch.silent_run() >= 3) return false;
    }
    return false;
}

}  // namespace

std::string flash_id_text(const std::array<std::uint8_t, 3>& id) {
    return format("%02x%02x%02x", id[0], id[1], id[2]);
}

int usage_error(Session& session, const std::string& message) {
    return session.finish(session.fail(kExitUsage, message));
}

int cmd_info(Session& session, ArgList args) {
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, "info: unknown option " + *bad + " (for example: info)");
    }
    if (!args.positionals().empty()) {
        return usage_error(session, "info takes no arguments (for example: kestrelctl --device 192.168.1.50:5000 info)");
    }
    if (const int c = session.connect()) return session.finish(c);

    std::array<std::uint8_t, 8> mac{}, ip{}, port{}, ts{}, mc{}, mcip{};
    const bool ok = read_field(kCfgMacLen, kCfgMacOffset, mac) &&
                    read_field(kCfgIpLen, kCfgIpOffset, ip) &&
                    read_field(kCfgPortLen, kCfgPortOffset, port) &&
                    read_field(kCfgTsPortLen, kCfgTsPortOffset, ts) &&
                    read_field(kCfgMulticastEnLen, kCfgMulticastEnOffset, mc) &&
                    read_field(kCfgMulticastIpLen, kCfgMulticastIpOffset, mcip);
    if (!ok) {
        return session.finish(session.fail(kExitLink, "the configuration block could not be read clean"));
    }
    const std::string mac_text =
        format("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    const int port_n = port[0] * 256 + port[1];
    const int ts_n = ts[0] * 256 + ts[1];
    const bool multicast = mc[0] == 1;
    session.json()
        .add("mac", mac_text)
        .add("ip", format_ipv4(ip.data()))
        .add("port", port_n)
        .add("ts_port", ts_n)
        .add("multicast", multicast)
        .add("multicast_ip", format_ipv4(mcip.data()));

    FlashId id{};
    bool flash_ok = false;
    {
        std::lock_guard<std::recursive_mutex> hold(link_lock());
        flash_ok = check_flash_id(id);
    }
    session.json().add("flash_id", flash_id_text(id)).add("flash_ok", flash_ok);
    session.say("mac           " + mac_text);
    session.say("ip            " + format_ipv4(ip.data()));
    session.say("port          " + std::to_string(port_n));
    session.say("ts_port       " + std::to_string(ts_n));
    session.say(std::string("multicast     ") + (multicast ? "on" : "off"));
    session.say("multicast_ip  " + format_ipv4(mcip.data()));
    session.say("flash_id      " + flash_id_text(id) + (flash_ok ? " (ok)" : " (not the expected c22016)"));
    if (!flash_ok) {
        return session.finish(session.fail(kExitFlashChip, "flash chip " + flash_id_text(id) + ", expected c22016"));
    }
    return session.finish(kExitOk);
}

int cmd_reset(Session& session, ArgList args) {
    if (const auto bad = args.unknown_flag()) {
        return usage_error(session, "reset: unknown option " + *bad + " (for example: reset)");
    }
    if (!args.positionals().empty()) return usage_error(session, "reset takes no arguments (for example: reset)");
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
