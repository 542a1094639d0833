#include "core/address.hpp"

#include <cstddef>

namespace sonvex::core {
namespace {

// Character tests on plain ASCII only: bytes of multi-byte UTF-8 sequences,
// NUL and everything else outside these ranges never match.
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The whole of `text` as a dotted-decimal address into out[0..3].
bool parse_v4(std::string_view text, std::uint8_t* out) {
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        const std::size_t start = i;
        unsigned value = 0;
        while (i < text.size() && i - start < 3 && is_digit(text[i])) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        if (i == start || value > 255) return false;
        if (i - start > 1 && text[start] == '0') return false;  // leading zero
        out[part] = static_cast<std::uint8_t>(value);
    }
    return i == text.size();  // a fourth number of more than 3 digits ends here too
}

// The whole of `text` as one IPv6 address into out[0..15].
bool parse_v6(std::string_view text, std::uint8_t* out) {
    std::array<std::uint16_t, 8> groups{};
    int count = 0;  // groups written so far, a dotted tail counting as two
    int gap = -1;   // number of groups before the "::", if there is one
    const std::size_t n = text.size();
    std::size_t i = 0;

    if (n >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    }
    if (i < n) {
        while (true) {
            // Scan the hex digits of the next group. A '.' after them means
            // this group is really the first number of a dotted IPv4 tail,
            // which must then run to the end of the text.
            std::size_t j = i;
            while (j < n && hex_value(text[j]) >= 0) ++j;
            if (j < n && text[j] == '.') {
                std::uint8_t v4[4];
                if (count > 6 || !parse_v4(text.substr(i), v4)) return false;
                groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
                groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
                break;
            }
            if (j == i || j - i > 4 || count == 8) return false;
            unsigned value = 0;
            for (; i < j; ++i) value = value << 4 | static_cast<unsigned>(hex_value(text[i]));
            groups[count++] = static_cast<std::uint16_t>(value);

            if (i == n) break;
            if (text[i] != ':') return false;
            ++i;
            if (i < n && text[i] == ':') {
                if (gap >= 0) return false;  // a second "::"
                gap = count;
                ++i;
                if (i == n) break;  // "::" at the end
            } else if (i == n) {
                return false;  // a single trailing ':'
            }
        }
    }

    if (gap < 0 ? count != 8 : count > 7) return false;  // "::" stands for at least one group
    // Move the groups after the "::" to the end; the ones in between stay zero.
    std::array<std::uint16_t, 8> full{};
    const int after = gap < 0 ? 0 : count - gap;
    const int before = count - after;
    for (int k = 0; k < before; ++k) full[k] = groups[k];
    for (int k = 0; k < after; ++k) full[8 - after + k] = groups[before + k];
    for (int k = 0; k < 8; ++k) {
        out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
        out[2 * k + 1] = static_cast<std::uint8_t>(full[k] & 0xff);
    }
    return true;
}

void append_decimal(std::string& out, unsigned value) {
    char digits[3];
    int len = 0;
    do {
        digits[len++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (len > 0) out += digits[--len];
}

void append_dotted(std::string& out, const std::uint8_t* bytes) {
    for (int k = 0; k < 4; ++k) {
        if (k > 0) out += '.';
        append_decimal(out, bytes[k]);
    }
}

void append_hex_group(std::string& out, unsigned value) {
    static constexpr char kHex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned nibble = (value >> shift) & 0xf;
        if (nibble != 0 || started || shift == 0) {
            out += kHex[nibble];
            started = true;
        }
    }
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
    IpAddress address;
    if (text.find(':') == std::string_view::npos) {
        if (!parse_v4(text, address.bytes.data())) return std::nullopt;
        address.family = IpAddress::Family::V4;
    } else {
        if (!parse_v6(text, address.bytes.data())) return std::nullopt;
        address.family = IpAddress::Family::V6;
    }
    return address;
}

std::string format_ip_address(const IpAddress& address) {
    const auto& b = address.bytes;
    std::string out;
    if (address.family == IpAddress::Family::V4) {
        append_dotted(out, b.data());
        return out;
    }

    bool mapped = b[10] == 0xff && b[11] == 0xff;
    for (int k = 0; k < 10; ++k) mapped = mapped && b[k] == 0;
    if (mapped) {
        out = "::ffff:";
        append_dotted(out, b.data() + 12);
        return out;
    }

    std::array<unsigned, 8> groups{};
    for (int k = 0; k < 8; ++k) groups[k] = unsigned{b[2 * k]} << 8 | b[2 * k + 1];

    // The first longest run of two or more zero groups becomes "::".
    int best_start = -1, best_len = 1;
    for (int k = 0; k < 8;) {
        if (groups[k] != 0) {
            ++k;
            continue;
        }
        int end = k;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - k > best_len) {
            best_start = k;
            best_len = end - k;
        }
        k = end;
    }

    for (int k = 0; k < 8; ++k) {
        if (k == best_start) {
            out += "::";
            k += best_len - 1;
            continue;
        }
        if (k > 0 && k != best_start + best_len) out += ':';
        append_hex_group(out, groups[k]);
    }
    return out;
}

}  // namespace sonvex::core
