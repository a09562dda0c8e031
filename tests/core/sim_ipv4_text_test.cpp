#include "sim/ipv4_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace kestrel::sim {
namespace {

std::array<unsigned char, 4> Bytes(std::uint32_t addr_net) {
    std::array<unsigned char, 4> b{};
    std::memcpy(b.data(), &addr_net, b.size());
    return b;
}

TEST(SimIpv4TextTest, DottedQuadParsesToNetworkOrderFirstNumberFirst) {
    const auto addr = parse_dotted_quad("192.168.1.20");
    ASSERT_TRUE(addr.has_value());
    EXPECT_EQ(Bytes(*addr), (std::array<unsigned char, 4>{0xC0, 0xA8, 0x01, 0x14}));
}

TEST(SimIpv4TextTest, TextsThatAreNoAddressAreRefused) {
    EXPECT_FALSE(parse_dotted_quad("").has_value());
    EXPECT_FALSE(parse_dotted_quad("10.0.0.256").has_value());
    EXPECT_FALSE(parse_dotted_quad("10.0.0.1x").has_value());
    EXPECT_FALSE(parse_dotted_quad("host").has_value());
}

TEST(SimIpv4TextTest, FormatsEveryByteUnsignedUpTo255) {
    std::uint32_t addr = 0;
    const unsigned char b[4] = {239, 0, 255, 7};
    std::memcpy(&addr, b, sizeof b);
    EXPECT_EQ(dotted_quad(addr), "239.0.255.7");
    EXPECT_EQ(dotted_quad(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
}  // namespace kestrel::sim
