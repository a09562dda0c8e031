// What one register exchange came to, as one value: the outcome, the word a read took, and the
// one doubt the link has about it. Plain data; made by the transport, read by its callers.
#pragma once

#include <cstdint>

#include "protocol/register_word.h"

namespace kestrel {

enum class ExchangeKind : std::uint8_t { Read, Write };

enum class ExchangeStatus : std::uint8_t {
    Clean,      // a reply that fits this request, acknowledged with 88h
    Nak,        // a fitting reply whose acknowledgement byte was not 88h
    NoReply,    // nothing fitting within the wait (lost request or reply, silent device)
    Anomalous,  // a fitting reply, but stray datagrams came around it (see ExchangeResult::doubt)
    NoLink,     // the link was never opened; nothing was sent
};

// Why a reply that fits may still not be this request's own. Each rests on something the link
// saw; a slow reply is never one of them.
enum class Doubt : std::uint8_t {
    None,
    Stray,  // stray datagrams came during this exchange: a duplicate, a late reply, or one that
            // fits no request here; an earlier exchange's reply may have been another's
    Owed,   // a write whose register still owes the reply of an earlier write that timed out:
            // this acknowledgement may be that one, come late (also a read, on a link that does
            // not know yet whether the device echoes the register)
    Copy,   // a read whose bytes equal a recent reply of its register on a link that has shown
            // duplicates, or repeat its register's last while a write of it owes its
            // acknowledgement: a copy could stand in for it, or the step before it never happened
    Late,   // a read whose bytes a reply its register still owes can hold (anything, while what
            // that reply holds has not been read yet): that late reply could stand in for this
            // read, and for nothing else
};

// What a read will hold, where the caller knows: reads with the same key hold the same bytes
// (a flash chunk read through SPI_CTRL is keyed by its flash address). A read that may hold
// either of two contents carries both; 0 is no key. The link uses them to tell what the late
// reply of a read that timed out can hold.
struct ReadKeys {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    [[nodiscard]] bool any() const { return first != 0 || second != 0; }
    [[nodiscard]] bool one() const { return first != 0 && second == 0; }
};
// A read whose bytes no other read will show (its late reply may hold anything).
inline constexpr ReadKeys kAnyContent{0xFFFFFFFFu, 0xFFFFFFFFu};

// Kinds of stray datagrams, as far as their length tells.
struct StrayCount {
    std::uint8_t reads = 0;   // of a read reply's length
    std::uint8_t others = 0;  // of a write reply's length, or neither
    [[nodiscard]] bool any() const { return reads + others > 0; }
};

struct ExchangeResult {
    ExchangeStatus status = ExchangeStatus::NoLink;
    Doubt doubt = Doubt::None;
    StrayCount strays;
    RegisterWord word{};        // reads: reply bytes 4..11; zero without a fitting reply
    bool repeats_last = false;  // a read whose word equals the last one taken for its register

    // A fitting, acknowledged reply (it may still carry a doubt).
    [[nodiscard]] bool acknowledged() const {
        return status == ExchangeStatus::Clean || status == ExchangeStatus::Anomalous;
    }
    // Acknowledged, and nothing the link saw speaks against it.
    [[nodiscard]] bool trusted() const {
        return status == ExchangeStatus::Clean && doubt == Doubt::None;
    }
};

}  // namespace kestrel
