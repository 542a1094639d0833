#include "core/address.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;
using sonvex::core::format_ip_address;
using sonvex::core::IpAddress;
using sonvex::core::parse_ip_address;

namespace {

// Parses a copy of the text in a heap block of exactly its size, so that the
// address sanitizer reports any read past the end of the view.
std::optional<IpAddress> parse_exact(const std::string& text) {
    const std::vector<char> copy(text.begin(), text.end());
    return parse_ip_address(std::string_view(copy.data(), copy.size()));
}

struct Accepted {
    std::string text, canonical;
    friend void PrintTo(const Accepted& a, std::ostream* os) { *os << a.text; }
};

class AddressAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(AddressAccepted, ParsesAndPrintsCanonically) {
    const auto& [text, canonical] = GetParam();
    const auto address = parse_exact(text);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->family, text.find(':') == std::string::npos ? IpAddress::Family::V4
                                                                   : IpAddress::Family::V6);
    EXPECT_EQ(format_ip_address(*address), canonical);
    EXPECT_EQ(parse_ip_address(canonical), address);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressAccepted,
    testing::Values(
        Accepted{"127.0.0.1", "127.0.0.1"}, Accepted{"0.0.0.0", "0.0.0.0"},
        Accepted{"255.255.255.255", "255.255.255.255"}, Accepted{"10.99.100.9", "10.99.100.9"},
        Accepted{"::", "::"}, Accepted{"1::", "1::"}, Accepted{"0:0:0:0:0:0:0:1", "::1"},
        Accepted{"2001:0DB8:0000:0000:0008:0800:200C:417a", "2001:db8::8:800:200c:417a"},
        Accepted{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        // A lone zero group stays "0", even where "::" stood for it.
        Accepted{"1::3:4:5:6:7:8", "1:0:3:4:5:6:7:8"},
        Accepted{"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        // Longest run wins; of equally long runs the first.
        Accepted{"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, Accepted{"1:0:0:2:3:0:0:4", "1::2:3:0:0:4"},
        Accepted{"0:0:1:0:0:2:0:0", "::1:0:0:2:0:0"},
        Accepted{"1:2:3:4:5:6:0:0", "1:2:3:4:5:6::"},
        // A dotted tail counts as two groups; only a mapped address prints dotted.
        Accepted{"::FFFF:10.0.0.1", "::ffff:10.0.0.1"}, Accepted{"::ffff:102:304", "::ffff:1.2.3.4"},
        Accepted{"::1.2.3.4", "::102:304"}, Accepted{"1::1.2.3.4", "1::102:304"},
        Accepted{"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
        Accepted{"0:0:0:0:1:ffff:1.2.3.4", "::1:ffff:102:304"},
        Accepted{"::fffe:1.2.3.4", "::fffe:102:304"},
        Accepted{"::ffff:0:1.2.3.4", "::ffff:0:102:304"}));

class AddressRefused : public testing::TestWithParam<std::string> {};

TEST_P(AddressRefused, GivesNothing) { EXPECT_EQ(parse_exact(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(
    Ipv4, AddressRefused,
    testing::Values(""s, "10.00.0.1"s, "010.0.0.1"s, "10.0.0.01"s, "10.0.0"s, "10.0.0.1.2"s,
                    "10.0.0.256"s, "10.0.0.1000"s, "1.2.3.4 "s, " 1.2.3.4"s, "1.2..4"s,
                    "1.2.3."s, "1.2.3.+4"s, "1234"s, "localhost"s, "1.2.3.4\0"s, "1.2\0.3.4"s,
                    "1.2.3.\xd9\xa3"s, "1.2.3.4:80"s));

INSTANTIATE_TEST_SUITE_P(
    Ipv6, AddressRefused,
    testing::Values(":"s, ":::"s, "[::1]"s, "fe80::1%eth0"s, "::1 "s, ":: 1"s, "1::2::3"s,
                    "1:::2"s, ":::1"s, ":1::"s, "1::2:"s, ":1:2:3:4:5:6:7:8"s, "1:2:3:4:5:6:7"s,
                    "1:2:3:4:5:6:7:8:9"s, "1:2:3:4::5:6:7:8"s, "::1:2:3:4:5:6:7:8"s, "12345::"s,
                    "::00000"s, "1::g"s, "::1.2.3"s, "::1.2.3.04"s, "::1.2.3.4:1"s,
                    "1.2.3.4::"s, "1:2:3:4:5:6:7:1.2.3.4"s, "1:2:3:4:5:6::1.2.3.4"s,
                    "::a.2.3.4"s, "::1\0"s, ":\0:1"s, "::\xef\xbc\x91"s, "example.com:80"s));

TEST(AddressParse, StoresBytesInNetworkOrder) {
    EXPECT_EQ(parse_ip_address("192.168.1.2")->bytes, (std::array<std::uint8_t, 16>{192, 168, 1, 2}));
    EXPECT_EQ(parse_ip_address("2001:db8::ffff:1.2.3.4")->bytes,
              (std::array<std::uint8_t, 16>{0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2,
                                            3, 4}));
}

// Over a deterministic sample rich in zero runs of every length and place,
// and in mapped addresses, the canonical text and the fully written-out text
// (eight upper-case groups of four digits) both parse back to the address.
TEST(AddressRoundTrip, Ipv6Sample) {
    std::mt19937 random(20240611);
    for (int n = 0; n < 2000; ++n) {
        IpAddress address;
        address.family = IpAddress::Family::V6;
        std::string full;
        for (int k = 0; k < 8; ++k) {
            unsigned group = random() % 3 == 0 ? random() % 0x10000 : 0;
            if (n % 10 == 0) group = k < 5 ? 0 : k == 5 ? 0xffff : group;
            address.bytes[2 * k] = static_cast<std::uint8_t>(group >> 8);
            address.bytes[2 * k + 1] = static_cast<std::uint8_t>(group);
            char text[6];
            std::snprintf(text, sizeof text, k ? ":%04X" : "%04X", group);
            full += text;
        }
        const std::string canonical = format_ip_address(address);
        EXPECT_EQ(parse_ip_address(canonical), address) << canonical;
        EXPECT_EQ(parse_ip_address(full), address) << full;
    }
}

}  // namespace
