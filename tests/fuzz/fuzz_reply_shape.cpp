// How the link decides that a datagram fits a request (ReplyShape, as receive_reply uses it),
// over any sequence of datagrams: never a read past a datagram's end, and the rules hold.
//
// The input is a run of records: a flags byte (bit 0 a write request, bit 1 the link takes the
// datagram and learns from it, bit 2 a reply is owed so it may be another request's), the
// register address (2 bytes, big-endian), the datagram's length (1 byte) and its bytes.
#include <algorithm>
#include <vector>

#include "fuzz_target.h"
#include "link/link_state.h"
#include "link/reply_shape.h"

namespace {

using kestrel::ExchangeKind;
using kestrel::ReplyShape;
using kestrel::fuzz::require;

constexpr std::size_t kLongest = 64;  // the lengths whose learnt state is compared

bool names(const std::vector<std::uint8_t>& d, std::uint16_t address) {
    return d.size() >= 4 && d[2] == (address >> 8) && d[3] == (address & 0xFF);
}

// What can be seen of a shape from outside; two shapes that agree here decide alike.
bool same_face(const ReplyShape& a, const ReplyShape& b) {
    if (a.echoes() != b.echoes()) return false;
    for (std::size_t n = 0; n <= kLongest; ++n) {
        if (a.is_read_length(n) != b.is_read_length(n) ||
            a.is_write_length(n) != b.is_write_length(n))
            return false;
    }
    return true;
}

void check_fit(const ReplyShape& shape, ExchangeKind kind, std::uint16_t address,
               const std::vector<std::uint8_t>& d) {
    const bool read = kind == ExchangeKind::Read;
    // Exactly d.size() bytes are readable: ASan finds any read past the datagram.
    const bool fits = shape.fits(kind, address, d.data(), d.size());
    (void)kestrel::link_detail::value_of(d.data(), d.size());
    require(!(shape.is_read_length(d.size()) && shape.is_write_length(d.size())));
    if (!fits) return;
    require(d.size() >= (read ? 12u : 2u));
    if (shape.echoes()) {
        require(names(d, address));
        require(shape.register_of(d.data(), d.size()) == address);
    }
    // Once both lengths are known and differ, a fitting datagram has the length of its kind.
    const bool known = shape.is_read_length(d.size()) || shape.is_write_length(d.size());
    if (known) require(read ? shape.is_read_length(d.size()) : shape.is_write_length(d.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyShape shape;
    ReplyShape twin;  // given only what may teach: the same decisions must follow
    std::size_t at = 0;
    while (at + 4 <= size) {
        const std::uint8_t flags = data[at];
        const auto address = static_cast<std::uint16_t>((data[at + 1] << 8) | data[at + 2]);
        const std::size_t length = std::min<std::size_t>(data[at + 3], size - at - 4);
        const std::vector<std::uint8_t> d(data + at + 4, data + at + 4 + length);
        at += 4 + length;
        const ExchangeKind kind = (flags & 1) ? ExchangeKind::Write : ExchangeKind::Read;
        check_fit(shape, kind, address, d);
        require(shape.fits(kind, address, d.data(), d.size()) ==
                twin.fits(kind, address, d.data(), d.size()));
        if (!(flags & 2) || !shape.fits(kind, address, d.data(), d.size())) continue;
        const bool owed = (flags & 4) != 0;
        const bool echoed = shape.echoes();
        shape.learn(kind, address, d.data(), d.size(), owed);
        // A reply that may be another's teaches only when it names the register asked for.
        if (!owed || names(d, address)) twin.learn(kind, address, d.data(), d.size(), false);
        require(same_face(shape, twin));
        require(!echoed || shape.echoes());  // a device shown to echo is never forgotten as one
    }
    return 0;
}
