#include "link/reply_shape.h"

namespace kestrel {
namespace {

bool names(const std::uint8_t* buf, std::uint16_t address) {
    return buf[2] == static_cast<std::uint8_t>(address >> 8) &&
           buf[3] == static_cast<std::uint8_t>(address & 0xFF);
}

}  // namespace

bool ReplyShape::fits(ExchangeKind kind, std::uint16_t address, const std::uint8_t* buf,
                      std::size_t length) const {
    const bool read = kind == ExchangeKind::Read;
    if (length < (read ? 12u : 2u)) return false;
    const std::size_t learnt = read ? read_len_ : write_len_;
    if (learnt != 0 && length != learnt) return false;
    // Before two read replies fix their length: a datagram of the write replies' length is no
    // read's reply once a read reply of another length came (a copied acknowledgement of the
    // register would give zeros for its value).
    if (read && learnt == 0 && length == write_len_ && read_vote_.candidate != 0 &&
        read_vote_.candidate != length)
        return false;
    if (echoes() && (length < 4 || !names(buf, address))) return false;
    return true;
}

void ReplyShape::learn(ExchangeKind kind, std::uint16_t address, const std::uint8_t* buf,
                       std::size_t length, bool may_be_another) {
    if (may_be_another && (length < 4 || !names(buf, address))) return;
    if (length >= 4 && !echo_missed_) {
        if (names(buf, address)) {
            if (echo_seen_ < kVotes) ++echo_seen_;
        } else if (!echoes()) {
            echo_missed_ = true;  // a device that does not echo: lengths are all there is
        }
    }
    LengthVote& vote = kind == ExchangeKind::Read ? read_vote_ : write_vote_;
    vote.add(length);
    read_len_ = read_vote_.fixed;
    write_len_ = write_vote_.fixed;
}

std::uint32_t ReplyShape::register_of(const std::uint8_t* buf, std::size_t length) const {
    if (!echoes() || length < 4) return kAnyRegister;
    return (std::uint32_t{buf[2]} << 8) | buf[3];
}

void ReplyShape::LengthVote::add(std::size_t length) {
    if (fixed != 0) return;
    if (length == candidate) {
        if (++votes >= kVotes) fixed = length;
    } else {
        candidate = length;
        votes = 1;
    }
}

}  // namespace kestrel
