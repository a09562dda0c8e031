// Reading the device configuration block field by field, as Start does after the handshake.
//
// Each field is one mailbox block read; a read that is not clean (a lost, refused or stray
// reply anywhere in its exchanges, a task that never completed, or the link not proven in step
// afterwards) is made again, up to kFieldReadRepeats more times. A field that never read clean
// stays empty: no caller ever sees bytes that did not arrive. A silent device ends the read at
// once. Runs on the calling thread; must not run while a flash worker holds the link.
#pragma once

#include <cstdint>
#include <optional>

#include "device/mac.h"
#include "link/ipv4.h"
#include "platform/status.h"

namespace kestrel::device {

inline constexpr int kFieldReadRepeats = 3;

struct DeviceConfig {
    std::optional<Mac> mac;
    std::optional<Ipv4Net> ip;  // network order
    std::optional<std::uint16_t> port;
    std::optional<std::uint16_t> ts_port;
    std::optional<std::uint8_t> multicast_enable;  // the byte as read; only 1 means enabled
    std::optional<Ipv4Net> multicast_ip;           // read only when the enable byte is 1
};

struct [[nodiscard]] ConfigReadResult {
    DeviceConfig config;
    int block_reads = 0;         // repeats included
    bool device_silent = false;  // the device stopped answering; later fields were not read
    // Ok when every field arrived clean (the multicast address when the enable byte is 1);
    // NoAnswer when the device stopped answering; NotAcknowledged when a field never read clean.
    // The fields that did arrive are in config either way.
    [[nodiscard]] Status status() const;
};

// Reads MAC (6 bytes at 0), IP (4 at 8), port (2 at 12), TS port (2 at 28) and the multicast
// enable (1 at 16); when that byte is 1 it traces " multcast en =============", reads the
// multicast address (4 at 24) and traces it "%d.%d.%d.%d". No ownership wait, no commit.
ConfigReadResult read_device_config();

}  // namespace kestrel::device
