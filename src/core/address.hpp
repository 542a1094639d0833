// Numeric IP addresses: strict parsing of the literal text forms and the
// canonical printed form. No name resolution, no Python.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sonvex::core {

struct IpAddress {
    enum class Family : std::uint8_t { V4, V6 };
    Family family = Family::V4;
    // Network byte order. An IPv4 address uses the first four bytes only.
    std::array<std::uint8_t, 16> bytes{};

    bool operator==(const IpAddress&) const = default;
};

// Parses the whole text as one IPv4 address (dotted decimal, four numbers of
// one to three digits, 0..255, no leading zero in a number of two or more
// digits) or one IPv6 address (RFC 4291 section 2.2: eight groups of one to
// four hex digits, at most one "::", optionally ending in a dotted IPv4
// part). Anything else (brackets, zone suffix, ports, white space, host
// names, empty text) gives nullopt.
std::optional<IpAddress> parse_ip_address(std::string_view text);

// Canonical text: dotted decimal for IPv4; RFC 5952 for IPv6 (lower-case hex
// without leading zeros, the longest run of two or more zero groups, the
// first of equally long runs, written as "::"), except that an IPv4-mapped
// address (::ffff:a.b.c.d) is written as "::ffff:" and the dotted form.
std::string format_ip_address(const IpAddress& address);

}  // namespace sonvex::core
