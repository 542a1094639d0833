#include "core/utf8.hpp"

#include <cstdint>

namespace sonvex::core {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

unsigned char byte_at(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

struct Sequence {
    std::size_t length;
    bool valid;
};

// The sequence starting at `i`: one well-formed character, or else its
// maximal subpart (the lead byte and the continuation bytes that still fit a
// well-formed sequence), which is at least one byte long.
Sequence scan_sequence(std::string_view s, std::size_t i) {
    const unsigned char lead = byte_at(s, i);
    if (lead < 0x80) return {1, true};

    // Length and allowed range of the second byte by lead byte: the narrower
    // ranges after E0, ED, F0 and F4 exclude overlong forms, surrogates and
    // code points above U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, false};  // continuation byte, C0, C1 or F5..FF: never a lead
    }

    std::size_t n = 1;
    for (; n < length && i + n < s.size(); ++n) {
        const unsigned char b = byte_at(s, i + n);
        if (b < low || b > high) break;
        low = 0x80;
        high = 0xBF;
    }
    return {n, n == length};
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view s) {
    std::size_t i = 0;
    // Server lines are mostly ASCII: skip it eight bytes at a time.
    while (i + 8 <= s.size() && !(short_bytes::load<std::uint64_t>(s.data() + i) & swar::kHighs))
        i += 8;
    while (i < s.size()) {
        const Sequence seq = scan_sequence(s, i);
        if (!seq.valid) break;
        i += seq.length;
    }
    return i;
}

namespace {

// Encoded length of the White_Space character at the start of `s`, or 0.
std::size_t white_space_length(std::string_view s) {
    if (s.empty()) return 0;
    const unsigned char c0 = byte_at(s, 0);
    if ((c0 >= 0x09 && c0 <= 0x0D) || c0 == 0x20) return 1;
    if (s.size() < 2 || (byte_at(s, 1) & 0xC0) != 0x80) return 0;
    if (c0 == 0xC2) return (byte_at(s, 1) == 0x85 || byte_at(s, 1) == 0xA0) ? 2 : 0;
    if (c0 < 0xE1 || c0 > 0xE3 || s.size() < 3 || (byte_at(s, 2) & 0xC0) != 0x80) return 0;
    const char32_t cp = (char32_t{c0} & 0x0F) << 12 | (char32_t{byte_at(s, 1)} & 0x3F) << 6 |
                        (char32_t{byte_at(s, 2)} & 0x3F);
    const bool white = cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
                       cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
    return white ? 3 : 0;
}

// Encoded length of a White_Space character at the end of `s`, or 0. These
// characters are at most three bytes long and each starts with an ASCII or a
// lead byte, so a match on a suffix is a whole character.
std::size_t trailing_white_space_length(std::string_view s) {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
        if (white_space_length(s.substr(s.size() - n)) == n) return n;
    }
    return 0;
}

bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

}  // namespace

TextFacts scan_long_text(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    std::uint64_t high = 0, breaks = 0;
    for (; left >= 8; p += 8, left -= 8) {
        const auto word = short_bytes::load<std::uint64_t>(p);
        high |= word;
        breaks |= swar::line_breaks(word);
    }
    const TextFacts tail = scan_text({p, left});
    return {breaks != 0 || tail.line_break, (high & swar::kHighs) == 0 && tail.ascii};
}

std::string repair_utf8(std::string_view bytes, std::size_t valid) {
    std::size_t i = valid;
    if (i == bytes.size()) return std::string(bytes);

    std::string out(bytes.substr(0, i));
    while (i < bytes.size()) {
        const Sequence seq = scan_sequence(bytes, i);
        if (seq.valid) {
            out.append(bytes.substr(i, seq.length));
        } else {
            out += kReplacement;
        }
        i += seq.length;
    }
    return out;
}

std::string_view trim_white_space(std::string_view utf8) {
    // Lines usually start with a letter and end in a line feed: settle the
    // ASCII ends quickly, and look at multi-byte characters only if needed.
    while (!utf8.empty() && ascii_space(byte_at(utf8, 0))) utf8.remove_prefix(1);
    while (!utf8.empty() && ascii_space(byte_at(utf8, utf8.size() - 1))) utf8.remove_suffix(1);
    while (const std::size_t n = white_space_length(utf8)) utf8.remove_prefix(n);
    while (const std::size_t n = trailing_white_space_length(utf8)) utf8.remove_suffix(n);
    return utf8;
}

}  // namespace sonvex::core
