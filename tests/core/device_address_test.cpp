// Address and port texts as the user types them: only four decimal numbers, and only addresses
// that fit the field.
#include <gtest/gtest.h>

#include <string>

#include "device/address.h"

namespace kestrel::device {
namespace {

std::array<std::uint8_t, 4> bytes_of(std::string_view text) {
    const auto parsed = parse_dotted_quad(text);
    EXPECT_TRUE(parsed) << text;
    return ipv4_bytes(parsed.value_or(0));
}

TEST(DottedQuadTest, ReadsEveryNumberAsDecimalEvenWithLeadingZeros) {
    EXPECT_EQ(bytes_of("127.0.0.010"), (std::array<std::uint8_t, 4>{127, 0, 0, 10}));
    EXPECT_EQ(bytes_of("192.168.001.020"), (std::array<std::uint8_t, 4>{192, 168, 1, 20}));
    EXPECT_EQ(bytes_of("0.0.0.0"), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(bytes_of("255.255.255.255"), (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(bytes_of("239.1.2.3"), (std::array<std::uint8_t, 4>{0xEF, 1, 2, 3}));
}

TEST(DottedQuadTest, RefusesShortHexPaddedAndTrailingForms) {
    for (const char* bad :
         {"",           "10.1",       "1",           "10.1.2",     "127.0.0.1 junk", " 127.0.0.1",
          "127.0.0.1 ", "0x7f.0.0.1", "127.0.0.0x1", "300.1.1.1",  "256.0.0.1",      "1.2.3.4.5",
          "1..2.3",     ".1.2.3",     "1.2.3.",      "0127.0.0.1", "+1.2.3.4",       "-1.2.3.4",
          "1.2.3.4\n",  "1,2,3,4",    "1.2.3.4/24"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse_dotted_quad(bad), std::nullopt);
    }
    EXPECT_EQ(parse_dotted_quad(std::string(409, '1')), std::nullopt);
    EXPECT_EQ(parse_dotted_quad(std::string_view("1.2.3.4\0", 8)), std::nullopt);
}

TEST(AddressCheckTest, ServerIpTakesAnyDottedQuadAndNamesTheFieldOtherwise) {
    EXPECT_TRUE(check_server_ip("127.0.0.1", "Server IP").ok());
    EXPECT_TRUE(check_server_ip("0.0.0.0", "Server IP").ok());
    const Result<Ipv4Net> bad = check_server_ip("300.1.1.1", "Server IP");
    EXPECT_EQ(bad.code(), StatusCode::BadInput);
    EXPECT_EQ(bad.reason(),
              "Server IP: enter four numbers from 0 to 255 joined by dots, for example "
              "192.168.1.20.");
}

TEST(AddressCheckTest, DeviceIpRefusesAddressesNoDeviceCanHave) {
    for (const char* bad :
         {"0.0.0.0", "255.255.255.255", "224.0.0.0", "230.1.2.3", "239.255.255.255"}) {
        SCOPED_TRACE(bad);
        const Result<Ipv4Net> check = check_device_ip(bad, "set ip");
        EXPECT_FALSE(check.ok());
        EXPECT_EQ(check.reason().rfind("set ip: ", 0), 0u) << check.reason();
        EXPECT_NE(check.reason().find("for example 192.168.1.20"), std::string::npos);
        EXPECT_FALSE(can_be_device_address(*parse_dotted_quad(bad)));
    }
    for (const char* good : {"223.255.255.255", "240.0.0.1", "10.0.0.1", "0.0.0.1"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(check_device_ip(good, "set ip").ok());
        EXPECT_TRUE(can_be_device_address(*parse_dotted_quad(good)));
    }
    EXPECT_EQ(ipv4_bytes(check_device_ip("192.168.1.20", "New IP").value_opt().value_or(0)),
              (std::array<std::uint8_t, 4>{0xC0, 0xA8, 0x01, 0x14}));
}

TEST(AddressCheckTest, MulticastIpMustBeInTheMulticastRange) {
    EXPECT_TRUE(check_multicast_ip("224.0.0.0", "Multicast IP").ok());
    EXPECT_TRUE(check_multicast_ip("239.255.255.255", "Multicast IP").ok());
    for (const char* bad : {"223.255.255.255", "240.0.0.0", "192.168.1.20", "239.1.257", ""}) {
        SCOPED_TRACE(bad);
        const Result<Ipv4Net> check = check_multicast_ip(bad, "Multicast IP");
        EXPECT_FALSE(check.ok());
        EXPECT_EQ(check.reason(),
                  "Multicast IP: enter a multicast address from 224.0.0.0 to 239.255.255.255, "
                  "for example 239.1.1.1.");
    }
}

TEST(AddressCheckTest, DevicePortIsOneTo65535) {
    EXPECT_EQ(check_device_port(1, "Port").value_opt(), Port::from(1));
    EXPECT_EQ(check_device_port(65535, "Port")->value(), 65535);
    for (long bad : {0L, -1L, 65536L, 70000L, 65536L * 65536L + 80L}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Port::from(bad), std::nullopt);
        EXPECT_EQ(check_device_port(bad, "Port").reason(),
                  "Port: enter a port from 1 to 65535, for example 5000.");
    }
}

}  // namespace
}  // namespace kestrel::device
