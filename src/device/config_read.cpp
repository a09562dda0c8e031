#include "device/config_read.h"

#include <array>
#include <cstring>

#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/trace.h"
#include "protocol/config_block.h"

namespace kestrel::device {
namespace {

using Word = std::array<std::uint8_t, 8>;

// One field, read until it comes clean and the link confirms nothing else is on its way.
std::optional<Word> read_field(std::uint16_t length, std::uint16_t offset, ConfigReadResult& r) {
    for (int attempt = 0; attempt <= kFieldReadRepeats && !r.device_silent; ++attempt) {
        Word buf{};
        ++r.block_reads;
        const MailboxResult got = mailbox_read_block(length, offset, buf);
        if (got.silent) {
            r.device_silent = true;
            break;
        }
        if (got.ok() && confirm_in_step()) return buf;
    }
    return std::nullopt;
}

std::uint16_t be16(const Word& w) {
    return static_cast<std::uint16_t>(w[0] << 8 | w[1]);
}

}  // namespace

Status ConfigReadResult::status() const {
    if (device_silent) {
        return Status::failure(StatusCode::NoAnswer,
                               "the device stopped answering while its configuration was read");
    }
    const DeviceConfig& c = config;
    const bool multicast_ok = c.multicast_enable && (*c.multicast_enable != 1 || c.multicast_ip);
    if (!(c.mac && c.ip && c.port && c.ts_port && multicast_ok)) {
        return Status::failure(StatusCode::NotAcknowledged,
                               "the configuration block could not be read clean");
    }
    return {};
}

ConfigReadResult read_device_config() {
    ConfigReadResult r;
    DeviceConfig& c = r.config;
    if (auto w = read_field(kCfgMacLen, kCfgMacOffset, r)) {
        Mac mac{};
        std::memcpy(mac.data(), w->data(), mac.size());
        c.mac = mac;
    }
    if (auto w = read_field(kCfgIpLen, kCfgIpOffset, r)) c.ip = ipv4_from_bytes(w->data());
    if (auto w = read_field(kCfgPortLen, kCfgPortOffset, r)) c.port = be16(*w);
    if (auto w = read_field(kCfgTsPortLen, kCfgTsPortOffset, r)) c.ts_port = be16(*w);
    if (auto w = read_field(kCfgMulticastEnLen, kCfgMulticastEnOffset, r)) {
        c.multicast_enable = (*w)[0];
    }
    if (c.multicast_enable == 1) {
        trace(" multcast en =============");
        if (auto w = read_field(kCfgMulticastIpLen, kCfgMulticastIpOffset, r)) {
            c.multicast_ip = ipv4_from_bytes(w->data());
            trace(format_ipv4(w->data()));
        }
    }
    return r;
}

}  // namespace kestrel::device
