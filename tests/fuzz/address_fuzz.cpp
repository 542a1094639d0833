// Fuzz target: IP address parsing and its canonical text, against the C
// library's inet_pton and a plain reference formatter.
//
// Parsing: a text is accepted exactly when inet_pton accepts it as IPv4 or
// IPv6 (whose rules are those of the address forms the client takes: no
// leading zeros in dotted numbers, one "::" for one or more zero groups, a
// dotted tail), and gives the same bytes. Formatting: RFC 5952, except that
// an IPv4-mapped address ends in its dotted form; the text parses back to the
// same address.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/address.hpp"

using sonvex::core::format_ip_address;
using sonvex::core::IpAddress;
using sonvex::core::parse_ip_address;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "address fuzz: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

std::string reference_format(const IpAddress& a) {
    const std::uint8_t* b = a.bytes.data();
    char out[64];
    if (a.family == IpAddress::Family::V4) {
        std::snprintf(out, sizeof out, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return out;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = b[2 * i] << 8 | b[2 * i + 1];
    bool mapped = true;
    for (int i = 0; i < 5; ++i) mapped = mapped && groups[i] == 0;
    if (mapped && groups[5] == 0xffff) {
        std::snprintf(out, sizeof out, "::ffff:%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
        return out;
    }
    // The longest run of two or more zero groups, the first of equal ones.
    int best = -1, best_length = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > best_length) {
            best = i;
            best_length = j - i;
        }
        i = j > i ? j : i + 1;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            text += "::";
            i += best_length - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(out, sizeof out, "%x", groups[i]);
        text += out;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = parse_ip_address(text);

    // inet_pton reads a C string: a text with a NUL is never an address.
    unsigned char v4[4], v6[16];
    const bool has_nul = text.find('\0') != std::string::npos;
    const bool is_v4 = !has_nul && inet_pton(AF_INET, text.c_str(), v4) == 1;
    const bool is_v6 = !has_nul && inet_pton(AF_INET6, text.c_str(), v6) == 1;
    if (parsed.has_value() != (is_v4 || is_v6)) fail(parsed ? "accepted" : "refused", text);
    if (!parsed) return 0;
    if (is_v4 != (parsed->family == IpAddress::Family::V4)) fail("wrong family", text);
    if (std::memcmp(parsed->bytes.data(), is_v4 ? v4 : v6, is_v4 ? 4 : 16) != 0)
        fail("wrong bytes", text);

    const std::string canonical = format_ip_address(*parsed);
    if (canonical != reference_format(*parsed)) fail(("formatted as " + canonical).c_str(), text);
    const auto again = parse_ip_address(canonical);
    if (!again || !(*again == *parsed)) fail("canonical text does not parse back", text);
    return 0;
}
