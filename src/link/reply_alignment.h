// Which requests of a broken window the datagrams that came after the break answer. Pure: no
// link state; the drain calls it on the link's thread once its probe came back.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace kestrel {

// What the datagrams say about the requests: replies are in order, so a datagram answers a
// request at or after the one the datagram before it answered.
struct ReplyAlignment {
    std::vector<std::size_t> lost;  // requests left without a reply, in order
    int extras = 0;                 // datagrams that answer none of them
    int lost_in_a_row = 0;          // the longest run of requests in a row in lost
};

// Pairs `datagrams` (in the order they came) with `requests` (in the order sent), where
// fits(request, datagram) says a datagram can be that request's reply, so that as few
// requests go without a reply and as few datagrams are left over as can be: a copy of a reply
// is one datagram left over, not the start of replies taken two requests on. Between pairings
// of equal cost, one that leaves an earlier request without a reply wins.
[[nodiscard]] ReplyAlignment align_replies(
    std::size_t requests, std::size_t datagrams,
    const std::function<bool(std::size_t request, std::size_t datagram)>& fits);

}  // namespace kestrel
