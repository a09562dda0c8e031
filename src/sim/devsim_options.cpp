#include "sim/devsim_options.h"

#include <cstdio>
#include <cstdlib>

#include "sim/fault_options.h"
#include "sim/ipv4_text.h"

namespace kestrel::sim {
namespace {

using Values = std::span<const std::string>;
using DevsimOption = Option<DevsimConfig>;

constexpr int kMaxPolls = 1'000'000;
constexpr std::uint32_t kMaxSectorEraseUs = 10'000'000;

bool whole(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || n < min || n > max) return false;
    out = n;
    return true;
}

template <typename Number>
bool set_whole(const std::string& text, long long min, long long max, Number& field) {
    long long n = 0;
    if (!whole(text, min, max, n)) return false;
    field = static_cast<Number>(n);
    return true;
}

// "XX:XX:...": exactly n hex pairs joined by colons.
template <std::size_t N>
bool hex_pairs(const std::string& text, std::array<std::uint8_t, N>& out) {
    if (text.size() != N * 3 - 1) return false;
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        const std::string pair = text.substr(i * 3, 2);
        if (i + 1 < N && text[i * 3 + 2] != ':') return false;
        char* end = nullptr;
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || pair.find_first_of("+- ") != std::string::npos) return false;
        bytes[i] = static_cast<std::uint8_t>(v);
    }
    out = bytes;
    return true;
}

bool set_listen(DevsimConfig& c, Values v) {
    const auto colon = v[0].rfind(':');
    if (colon == std::string::npos || !parse_dotted_quad(v[0].substr(0, colon))) return false;
    if (!set_whole(v[0].substr(colon + 1), 1, 65535, c.server.port)) return false;
    c.server.address = v[0].substr(0, colon);
    return true;
}

bool set_multicast_ip(DevsimConfig& c, Values v) {
    const auto ip = parse_dotted_quad(v[0]);
    if (!ip) return false;
    c.multicast_ip_net = *ip;
    return true;
}

template <bool DevsimConfig::*Field>
bool set_flag(DevsimConfig& c, Values) {
    c.*Field = true;
    return true;
}

template <int DevsimConfig::*Field>
bool set_polls(DevsimConfig& c, Values v) {
    return set_whole(v[0], 0, kMaxPolls, c.*Field);
}

const DevsimOption kGeneral[] = {
    {{"--listen", "ADDR:PORT", "address and port to serve (default 127.0.0.1:5000)"},
     1,
     "takes ADDR:PORT, for example 127.0.0.1:5000",
     set_listen},
    {{"--handshake-reply", "TEXT",
      "the handshake answer (default \"*connectok\"; "
      "\"qconnectok\" for the variant that asks the tool to answer "
      "\"q\")"},
     1,
     "takes a text",
     [](DevsimConfig& c, Values v) {
         c.server.handshake_reply = v[0];
         return true;
     }},
    {{"--mac", "XX:XX:XX:XX:XX:XX",
      "MAC address in the configuration block (default "
      "00:1a:2b:3c:4d:5e)"},
     1,
     "takes six hex pairs separated by colons",
     [](DevsimConfig& c, Values v) { return hex_pairs(v[0], c.mac); }},
    {{"--ts-port", "N", "TS port in the configuration block (default 1234)"},
     1,
     "takes a port from 0 to 65535",
     [](DevsimConfig& c, Values v) { return set_whole(v[0], 0, 65535, c.ts_port); }},
    {{"--multicast-ip", "ADDR",
      "multicast address in the configuration block (default "
      "239.1.1.1)"},
     1,
     "takes four numbers from 0 to 255 joined by dots",
     set_multicast_ip},
    {{"--multicast", "", "multicast enabled in the configuration block"},
     0,
     "",
     set_flag<&DevsimConfig::multicast>},
    {{"--move-at-commit", "",
      "after the commit of a new IP address and port, answer only there "
      "(the old address stops answering at once)"},
     0,
     "",
     [](DevsimConfig& c, Values) {
         c.server.move_at_commit = true;
         return true;
     }},
    {{"--log", "", "print every exchange on stderr"}, 0, "", set_flag<&DevsimConfig::log>},
};

const DevsimOption kVariants[] = {
    {{"--no-echo", "", "replies leave bytes 2-3 zero instead of echoing the register"},
     0,
     "",
     [](DevsimConfig& c, Values) {
         c.server.faults.no_echo = true;
         return true;
     }},
    {{"--long-write-replies", "", "write replies are 22 bytes, like read replies"},
     0,
     "",
     [](DevsimConfig& c, Values) {
         c.server.faults.long_write_replies = true;
         return true;
     }},
};

const DevsimOption kController[] = {
    {{"--mcu-hold", "N", "the mcu holds the mailbox for the next N ownership reads"},
     1,
     "takes a count from 0 to 1000000",
     set_polls<&DevsimConfig::mcu_hold>},
    {{"--task-never-done", "", "the task-done flag never comes"},
     0,
     "",
     set_flag<&DevsimConfig::task_never_done>},
};

const DevsimOption kFlash[] = {
    {{"--flash-file", "PATH",
      "load the flash from PATH when it exists and keep it there: saved "
      "within a second of a change and at exit, never half-written"},
     1,
     "takes a path",
     [](DevsimConfig& c, Values v) {
         c.flash_file = v[0];
         return !v[0].empty();
     }},
    {{"--flash-id", "XX:XX:XX",
      "the chip's identification (default c2:20:16; 00:00:00 or "
      "ff:ff:ff look like no chip at all)"},
     1,
     "takes three hex bytes, XX:XX:XX",
     [](DevsimConfig& c, Values v) { return hex_pairs(v[0], c.flash_id); }},
    {{"--busy-polls", "N", "status reads showing write in progress after each page program"},
     1,
     "takes a count from 0 to 1000000",
     set_polls<&DevsimConfig::busy_polls>},
    {{"--erase-busy-polls", "N", "status reads showing write in progress after a chip erase"},
     1,
     "takes a count from 0 to 1000000",
     set_polls<&DevsimConfig::erase_busy_polls>},
    {{"--sector-erase-busy-polls", "N",
      "status reads showing write in progress after a sector "
      "erase (20h)"},
     1,
     "takes a count from 0 to 1000000",
     set_polls<&DevsimConfig::sector_erase_busy_polls>},
    {{"--sector-erase-us", "N",
      "a sector erase also lasts at least N microseconds (a real part "
      "takes tens of ms; default 0)"},
     1,
     "takes microseconds, 0 to 10000000",
     [](DevsimConfig& c, Values v) {
         return set_whole(v[0], 0, kMaxSectorEraseUs, c.sector_erase_us);
     }},
    {{"--flash-hang", "", "the chip never finishes an erase or a page program"},
     0,
     "",
     set_flag<&DevsimConfig::flash_hang>},
};

// Read by hand in parse_devsim_args: they end the parse.
const OptionDoc kOther[] = {
    {"--help", "", "this text"},
    {"--version", "", "print \"kestrel-devsim\" and the version, then exit"},
};

const std::span<const DevsimOption> kOwnTables[] = {kGeneral, kVariants, kController, kFlash};

}  // namespace

DevsimConfig::DevsimConfig() {
    server.port = 5000;
    server.log_exchanges = false;
    multicast_ip_net = *parse_dotted_quad("239.1.1.1");
}

DevsimArgs parse_devsim_args(std::span<const std::string> args) {
    DevsimArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            parsed.action = DevsimArgs::Action::Help;
            return parsed;
        }
        if (args[i] == "--version") {
            parsed.action = DevsimArgs::Action::Version;
            return parsed;
        }
        OptionMatch match = offer_link_option(args, i, parsed.config.server.faults);
        for (auto table : kOwnTables) {
            if (match.kind != OptionMatch::Kind::NotMine) break;
            match = offer_option(table, args, i, parsed.config);
        }
        if (match.kind == OptionMatch::Kind::NotMine) match.error = "unknown option " + args[i];
        if (match.kind != OptionMatch::Kind::Taken) {
            parsed.error = match.error;
            return parsed;
        }
    }
    return parsed;
}

std::vector<OptionSection> devsim_option_sections() {
    return {
        {"", "", docs_of<DevsimConfig>(kGeneral)},
        {"Link faults",
         "probabilities per exchange, 0 to 1, drawn from --seed. At exit the "
         "faults injected are printed, one count per kind.",
         docs_of<LinkFaults>(fault_options())},
        {"Link and service timing", "not faults: nothing is lost or duplicated.",
         docs_of<LinkFaults>(timing_options())},
        {"Device variants", "", docs_of<DevsimConfig>(kVariants)},
        {"Controller faults", "", docs_of<DevsimConfig>(kController)},
        {"Flash chip", "4 MiB, erased at start unless --flash-file holds an image.",
         docs_of<DevsimConfig>(kFlash)},
        {"Other", "", std::vector<OptionDoc>(std::begin(kOther), std::end(kOther))},
    };
}

std::string devsim_usage() {
    const std::vector<OptionSection> sections = devsim_option_sections();
    return "usage: kestrel-devsim [options]\n\n"
           "Serves the device's handshake and register protocol on UDP until interrupted "
           "(Ctrl-C).\n"
           "Example: kestrel-devsim --listen 127.0.0.1:5000\n\n" +
           help_text(sections);
}

}  // namespace kestrel::sim
