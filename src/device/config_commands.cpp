#include "device/config_commands.h"

#include <arpa/inet.h>

#include <array>

#include "link/mailbox.h"
#include "link/transport.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "protocol/config_block.h"

namespace kestrel::device {
namespace {

std::array<std::uint8_t, 2> be16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)};
}

// Tracks one command's steps: the first failure stops it and is kept in `out` with its reason;
// `out` stays ok while every step succeeds.
class Steps {
  public:
    Steps(const char* name, Status& out) : name_(name), out_(out) {}

    bool owner() {
        if (host_controled_by() != MailboxOwner::Unknown) return true;
        const ExchangeStatus last = last_exchange_status();
        if (last == ExchangeStatus::NoReply || last == ExchangeStatus::NoLink) {
            return stop(true, "no answer from the device");
        }
        return stop(false, "no clean answer about the mailbox owner");
    }
    bool transfer(const MailboxResult& r, const char* what) {
        if (r.ok()) return true;
        if (r.silent) return stop(true, "no answer from the device");
        return stop(false, format("%s not acknowledged", what));
    }

  private:
    bool stop(bool silent, const std::string& why) {
        out_ = Status::failure(silent ? StatusCode::NoAnswer : StatusCode::NotAcknowledged, why);
        tracef("%s : stopped, %s", name_, why.c_str());
        return false;
    }

    const char* name_;
    Status& out_;
};

}  // namespace

ApplyIpResult apply_ip_and_port(std::string_view typed, const Ipv4Endpoint& to) {
    ApplyIpResult result;
    Steps steps("apply ip", result.status);
    const std::uint16_t port = to.port.value();
    const auto ip = ipv4_bytes(to.address);
    trace("new......");
    trace(typed);
    trace(format_ipv4(ip.data()));
    if (!steps.owner()) return result;
    if (!steps.transfer(mailbox_write_block(kCfgIpLen, kCfgIpOffset, ip), "ip write")) {
        return result;
    }
    tracef("%x", static_cast<unsigned>(port));
    tracef("%x", static_cast<unsigned>(htons(port)));
    if (!steps.owner()) return result;
    if (!steps.transfer(mailbox_write_block(kCfgPortLen, kCfgPortOffset, be16(port)),
                        "port write")) {
        return result;
    }
    const MailboxResult commit = mailbox_commit(CommitMove{to.address, port});
    result.answered_at_new_address = commit.moved;
    // Where the device answered during the commit, the link already points; otherwise it
    // follows only a commit that was acknowledged.
    result.link_followed = commit.moved;
    if (!steps.transfer(commit, "commit")) return result;
    set_peer_address(to.address, port);
    result.link_followed = true;
    return result;
}

Status apply_mac(const Mac& mac, std::string_view typed_pairs) {
    Status result;
    Steps steps("apply mac", result);
    trace(typed_pairs);
    trace(typed_pairs.substr(0, 2));
    if (!steps.owner()) return result;
    (void)steps.transfer(mailbox_write_block(kCfgMacLen, kCfgMacOffset, mac), "mac write");
    return result;
}

Status apply_ts_port(std::uint16_t ts_port) {
    Status result;
    Steps steps("apply ts port", result);
    tracef("New TS port %d", static_cast<int>(ts_port));
    if (!steps.owner()) return result;
    if (steps.transfer(mailbox_write_block(kCfgTsPortLen, kCfgTsPortOffset, be16(ts_port)),
                       "ts port write")) {
        (void)steps.transfer(mailbox_commit(), "commit");
    }
    return result;
}

MulticastEnableResult set_multicast_enable(bool enable) {
    MulticastEnableResult result;
    Steps steps("multicast enable", result.status);
    const std::array<std::uint8_t, 1> value{static_cast<std::uint8_t>(enable ? 1 : 0)};
    if (!steps.transfer(mailbox_write_block(kCfgMulticastEnLen, kCfgMulticastEnOffset, value),
                        "enable write") ||
        !steps.transfer(mailbox_commit(), "commit")) {
        return result;
    }
    std::array<std::uint8_t, 8> back{};
    MailboxResult read = mailbox_read_block(kCfgMulticastEnLen, kCfgMulticastEnOffset, back);
    if (read.ok() && !confirm_in_step()) read.clean = false;
    if (!steps.transfer(read, "read-back")) return result;
    result.read_back = back[0];
    tracef("test read: %d", back[0]);
    return result;
}

Status apply_multicast_ip(std::string_view typed, Ipv4Net address) {
    Status result;
    Steps steps("apply multicast ip", result);
    const auto bytes = ipv4_bytes(address);
    trace("multcast ip......");
    trace(typed);
    trace(format_ipv4(bytes.data()));
    if (!steps.owner()) return result;
    if (steps.transfer(mailbox_write_block(kCfgMulticastIpLen, kCfgMulticastIpOffset, bytes),
                       "multicast ip write")) {
        (void)steps.transfer(mailbox_commit(), "commit");
    }
    return result;
}

}  // namespace kestrel::device
