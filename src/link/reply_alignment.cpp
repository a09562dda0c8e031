#include "link/reply_alignment.h"

#include <algorithm>

namespace kestrel {

ReplyAlignment align_replies(std::size_t requests, std::size_t datagrams,
                             const std::function<bool(std::size_t, std::size_t)>& fits) {
    // cost[i][j]: requests i.. and datagrams j.. paired as cheaply as can be (a request without
    // a reply or a datagram left over costs one).
    const std::size_t width = datagrams + 1;
    std::vector<int> cost((requests + 1) * width, 0);
    auto at = [&](std::size_t i, std::size_t j) -> int& { return cost[i * width + j]; };
    for (std::size_t i = requests + 1; i-- > 0;) {
        for (std::size_t j = datagrams + 1; j-- > 0;) {
            if (i == requests) {
                at(i, j) = static_cast<int>(datagrams - j);
                continue;
            }
            if (j == datagrams) {
                at(i, j) = static_cast<int>(requests - i);
                continue;
            }
            int best = std::min(at(i + 1, j), at(i, j + 1)) + 1;
            if (fits(i, j)) best = std::min(best, at(i + 1, j + 1));
            at(i, j) = best;
        }
    }
    ReplyAlignment out;
    int in_a_row = 0;
    std::size_t i = 0, j = 0;
    while (i < requests || j < datagrams) {
        if (i < requests && at(i, j) == at(i + 1, j) + 1) {
            out.lost.push_back(i++);
            out.lost_in_a_row = std::max(out.lost_in_a_row, ++in_a_row);
        } else if (i < requests && j < datagrams && fits(i, j) && at(i, j) == at(i + 1, j + 1)) {
            ++i, ++j;
            in_a_row = 0;
        } else {
            ++out.extras;
            ++j;
        }
    }
    return out;
}

}  // namespace kestrel
