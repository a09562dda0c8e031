// kestrel-devsim's options: one table (with the link fault and timing tables) that parses the
// command line into a DevsimConfig, prints --help and writes the man page's OPTIONS section.
// Plain functions; no state.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/nor_flash.h"
#include "sim/option_table.h"
#include "sim/server.h"

namespace kestrel::sim {

// Everything the command line sets, each value parsed once.
struct DevsimConfig {
    ServerOptions server;  // address, port 5000, handshake, faults and timing, move at commit
    std::array<std::uint8_t, 6> mac{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    std::uint16_t ts_port = 1234;
    std::uint32_t multicast_ip_net = 0;  // network order; 239.1.1.1 unless --multicast-ip
    bool multicast = false;
    bool log = false;
    int mcu_hold = 0;
    bool task_never_done = false;
    std::string flash_file;
    JedecId flash_id = kNorDefaultId;
    int busy_polls = 0;
    int erase_busy_polls = 0;
    int sector_erase_busy_polls = 0;
    std::uint32_t sector_erase_us = 0;
    bool flash_hang = false;

    DevsimConfig();
};

struct DevsimArgs {
    enum class Action { Serve, Help, Version } action = Action::Serve;
    DevsimConfig config;
    std::string error;  // empty on success: "unknown option --x", "--nak takes ..."
};

// Parses the arguments after argv[0]. --help and --version end the parse at once.
DevsimArgs parse_devsim_args(std::span<const std::string> args);

// The option sections, in the order --help and the man page show them.
std::vector<OptionSection> devsim_option_sections();

// The whole --help text: the usage lines, then every section.
std::string devsim_usage();

}  // namespace kestrel::sim
