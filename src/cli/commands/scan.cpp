// scan: find the devices in a range of addresses, and list each one's configuration.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <mutex>

#include "cli/address_range.h"
#include "cli/command_table.h"
#include "cli/commands/command_common.h"
#include "cli/commands/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/scan_probe.h"
#include "cli/settings_step.h"
#include "cli/shown_text.h"
#include "device/port.h"
#include "flash/core/flash_id.h"
#include "link/transport.h"
#include "platform/format.h"

namespace kestrel::cli {
namespace {

constexpr int kMaxScanJobs = 256;
constexpr int kMaxScanTimeoutMs = 60000;
constexpr const char* kScanExample = " (for example: scan 192.168.1.0/24 --port 5000)";

struct ScanArgs {
    AddressRange range;
    ProbeOptions probe;
};

// The /24 of the first interface that is up and not loopback, for a scan without a range;
// BadInput asking for a range when there is none.
Result<AddressRange> local_block() {
    const Status none = Status::failure(
        StatusCode::BadInput,
        std::string("scan: no network interface is up; give a range") + kScanExample);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return none;
    std::optional<AddressRange> found;
    for (const ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        found = AddressRange{(ntohl(in->sin_addr.s_addr) & 0xFFFFFF00u) + 1, 254};
    }
    ::freeifaddrs(list);
    if (!found) return none;
    return *found;
}

// The scan's range and probe options, or BadInput with the usage error.
Result<ScanArgs> parse_scan_args(ArgList& args) {
    ScanArgs s;
    const bool force = args.flag("--force");
    const auto port = args.value("--port");
    const auto timeout = args.value("--timeout");
    const auto jobs = args.value("-j");
    const auto fail = [](std::string message) {
        return Status::failure(StatusCode::BadInput, std::move(message));
    };
    if (const auto& missing = args.missing_value())
        return fail("scan: " + *missing + " takes a value" + kScanExample);
    if (const auto bad = args.unknown_flag())
        return fail(unknown_option("scan", *bad, "scan 192.168.1.0/24 --port 5000"));
    const auto words = args.positionals();
    if (words.size() > 1) return fail(std::string("scan takes at most one range") + kScanExample);
    if (port) {
        const auto n = parse_decimal(*port, 5, 65535);
        const auto checked = n ? device::Port::from(*n) : std::nullopt;
        if (!checked)
            return fail("scan: --port " + quoted_text(*port) + " is not a port 1 to 65535" +
                        kScanExample);
        s.probe.port = checked->value();
    }
    if (timeout) {
        const auto n = parse_decimal(*timeout, 5, kMaxScanTimeoutMs);
        if (!n || *n == 0)
            return fail("scan: --timeout " + quoted_text(*timeout) +
                        " is not 1 to 60000 ms (for example --timeout 300)");
        s.probe.timeout_ms = static_cast<int>(*n);
    }
    if (jobs) {
        const auto n = parse_decimal(*jobs, 3, kMaxScanJobs);
        if (!n || *n == 0)
            return fail("scan: -j " + quoted_text(*jobs) + " is not 1 to 256 (for example -j 32)");
        s.probe.jobs = static_cast<int>(*n);
    }
    const Result<AddressRange> range =
        words.empty() ? local_block() : parse_address_range(words[0]);
    if (!range) return fail(range.reason());
    if (range->count > kScanLimit && !force) {
        return fail("scan: " + words[0] + " holds " + std::to_string(range->count) +
                    " addresses, more than 4096; narrow it or add --force");
    }
    s.range = *range;
    return s;
}

// One line (or JSON object) for a device that answered the probe.
void list_device(Session& session, std::uint32_t address, std::uint16_t port) {
    const std::string where = dotted(address) + ":" + std::to_string(port);
    JsonObject j;
    j.add("device", where);
    device::DeviceConfig c;
    bool read = false;
    FlashId id{};
    if (open_link(dotted(address), port) && connect_handshake()) {
        const device::ConfigReadResult r = device::read_device_config();
        c = r.config;
        read = r.status().ok();
        std::lock_guard<std::recursive_mutex> hold(link_lock());
        (void)check_flash_id(id);
    }
    const bool multicast = c.multicast_enable && *c.multicast_enable == 1;
    const std::string mac = c.mac ? device::mac_text(*c.mac) : "?";
    const std::string ts = c.ts_port ? std::to_string(*c.ts_port) : "?";
    const std::string mcast =
        multicast ? "on " + (c.multicast_ip ? ip_string(*c.multicast_ip) : "?") : "off";
    if (read) {
        j.add("mac", mac)
            .add("port", static_cast<int>(c.port.value_or(0)))
            .add("ts_port", static_cast<int>(*c.ts_port));
        j.add("multicast", multicast);
        if (c.multicast_ip)
            j.add("multicast_ip", ip_string(*c.multicast_ip));
        else
            j.add_null("multicast_ip");
        j.add("flash_id", flash_id_text(id));
    } else {
        j.add("error", "the configuration block could not be read clean");
    }
    if (session.json_mode()) {
        std::fprintf(session.io().out, "%s\n", j.str().c_str());
        return;
    }
    session.say(format("%-21s %-17s %-7s %-16s %s", where.c_str(), mac.c_str(), ts.c_str(),
                       mcast.c_str(),
                       read ? flash_id_text(id).c_str() : "(configuration not read clean)"));
}

}  // namespace

int cmd_scan(Session& session, ArgList args) {
    const Result<ScanArgs> parsed = parse_scan_args(args);
    if (!parsed) return usage_error(session, parsed.reason());
    const Result<std::vector<std::uint32_t>> probe = probe_handshakes(parsed->range, parsed->probe);
    if (!probe) return session.finish(session.fail(probe.status()));
    const std::vector<std::uint32_t>& answered = *probe;
    if (interrupt_count() > 0) return session.finish(session.fail(kExitInterrupted, "interrupted"));
    const std::string span = parsed->range.count == 1
                                 ? dotted(parsed->range.first)
                                 : dotted(parsed->range.first) + " to " +
                                       dotted(parsed->range.at(parsed->range.count - 1));
    session.json()
        .add("probed", static_cast<std::int64_t>(parsed->range.count))
        .add("found", static_cast<std::int64_t>(answered.size()));
    if (answered.empty()) {
        return session.finish(session.fail(
            kExitNoDevice,
            "no device answered at " + span + ", port " + std::to_string(parsed->probe.port)));
    }
    session.say(
        format("%-21s %-17s %-7s %-16s %s", "DEVICE", "MAC", "TS_PORT", "MULTICAST", "FLASH_ID"));
    for (const std::uint32_t address : answered)
        list_device(session, address, parsed->probe.port);
    session.say(std::to_string(answered.size()) + " of " + std::to_string(parsed->range.count) +
                " addresses answered (" + span + ", port " + std::to_string(parsed->probe.port) +
                ")");
    return session.finish(kExitOk);
}

}  // namespace kestrel::cli
