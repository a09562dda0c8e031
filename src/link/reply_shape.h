// What this device's replies look like, learnt from the first replies the link trusts: whether
// bytes 2-3 echo the register address, and the lengths of read and write replies. Owned by the
// link state; used under the link lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/exchange.h"

namespace kestrel {

class ReplyShape {
  public:
    // Whether a datagram from the device can be the reply to a request of kind at address: at
    // least a reply's minimum length (12 bytes for a read, 2 for a write), the learnt length
    // once known, and the echo of the address once the device has shown it echoes.
    [[nodiscard]] bool fits(ExchangeKind kind, std::uint16_t address, const std::uint8_t* buf,
                            std::size_t length) const;

    // Learns from a reply the link took as the request's. One that may be another request's
    // (a reply is owed) teaches only when it names the register asked for.
    void learn(ExchangeKind kind, std::uint16_t address, const std::uint8_t* buf,
               std::size_t length, bool may_be_another = false);

    [[nodiscard]] bool echoes() const { return echo_seen_ >= kVotes && !echo_missed_; }

    // Both reply lengths are known and tell a read reply from a write reply.
    [[nodiscard]] bool lengths_known() const {
        return read_len_ != 0 && write_len_ != 0 && read_len_ != write_len_;
    }

    // Whether a datagram of this length is a read reply, or a write reply: only once both
    // lengths are known and differ.
    [[nodiscard]] bool is_read_length(std::size_t length) const {
        return lengths_known() && length == read_len_;
    }
    [[nodiscard]] bool is_write_length(std::size_t length) const {
        return lengths_known() && length == write_len_;
    }

    // The register a datagram names when the device echoes (bytes 2-3), else kAnyRegister.
    [[nodiscard]] std::uint32_t register_of(const std::uint8_t* buf, std::size_t length) const;

    static constexpr std::uint32_t kAnyRegister = 0x10000;

  private:
    struct LengthVote {
        std::size_t fixed = 0;
        std::size_t candidate = 0;
        int votes = 0;
        void add(std::size_t length);
    };
    static constexpr int kVotes = 2;

    int echo_seen_ = 0;
    bool echo_missed_ = false;
    std::size_t read_len_ = 0;
    std::size_t write_len_ = 0;
    LengthVote read_vote_;
    LengthVote write_vote_;
};

}  // namespace kestrel
