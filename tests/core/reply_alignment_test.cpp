// Pairing the datagrams that came after a window broke with its requests: the fewest requests
// without a reply and datagrams left over, in order.
#include <gtest/gtest.h>

#include <string>

#include "link/reply_alignment.h"

namespace kestrel::test {
namespace {

// Requests and datagrams as letters of their shape ("W" a write, "R" a read, "P" a probe);
// a datagram fits a request of its letter.
ReplyAlignment align(const std::string& requests, const std::string& datagrams) {
    return align_replies(requests.size(), datagrams.size(),
                         [&](std::size_t i, std::size_t j) { return requests[i] == datagrams[j]; });
}

TEST(ReplyAlignment, EveryReplyInOrderLeavesNothingLostOrOver) {
    const ReplyAlignment a = align("WRWRP", "WRWRP");
    EXPECT_TRUE(a.lost.empty());
    EXPECT_EQ(a.extras, 0);
    EXPECT_EQ(a.lost_in_a_row, 0);
}

TEST(ReplyAlignment, ACopyIsOneDatagramOverNotAShiftOfTwo) {
    const ReplyAlignment a = align("WRWRWRP", "RWRWRP");  // the first write's reply lost
    EXPECT_EQ(a.lost, std::vector<std::size_t>{0});
    EXPECT_EQ(a.extras, 0);
    // The first read's reply came twice: taken for the next read's, every later reply would be
    // two requests on, with two lost and two over.
    const ReplyAlignment copy = align("WRWRWRP", "WRRWRWRP");
    EXPECT_TRUE(copy.lost.empty());
    EXPECT_EQ(copy.extras, 1);
}

TEST(ReplyAlignment, LossesInARowAtTheTailAndWithNothingCome) {
    const ReplyAlignment pair = align("WRWRWRP", "WRWRP");  // a chunk's write and read lost
    EXPECT_EQ(pair.lost.size(), 2u);
    EXPECT_EQ(pair.lost_in_a_row, 2);
    const ReplyAlignment tail = align("WRWRP", "WRWR");
    EXPECT_EQ(tail.lost, std::vector<std::size_t>{4});
    const ReplyAlignment none = align("WRP", "");
    EXPECT_EQ(none.lost, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(none.lost_in_a_row, 3);
    const ReplyAlignment strays = align("", "RR");
    EXPECT_EQ(strays.extras, 2);
}

TEST(ReplyAlignment, OfEqualCostTheEarlierRequestIsTheLostOne) {
    // One of two reads lost: the datagram is taken as the second's reply.
    EXPECT_EQ(align("RR", "R").lost, std::vector<std::size_t>{0});
}

}  // namespace
}  // namespace kestrel::test
