// UTF-8 checks and repair, and trimming of Unicode white space. No Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/short_bytes.hpp"

namespace sonvex::core {

// What a text holds that matters for a protocol line: a carriage return or a
// line feed (which would end the line early), and any byte that is not
// ASCII.
struct TextFacts {
    bool line_break;
    bool ascii;
};
TextFacts scan_long_text(std::string_view text);

// Eight bytes at a time: a byte equal to CR or LF shows as a zero byte of the
// word XOR that byte repeated, and has_zero_byte is exact about whether a
// word has one (bytes that are zero in both stay clear of both tests).
namespace swar {
inline constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
constexpr std::uint64_t has_zero_byte(std::uint64_t w) { return (w - kOnes) & ~w & kHighs; }
constexpr std::uint64_t line_breaks(std::uint64_t w) {
    return has_zero_byte(w ^ (kOnes * '\n')) | has_zero_byte(w ^ (kOnes * '\r'));
}
}  // namespace swar

inline TextFacts scan_text(std::string_view text) {
    if (text.size() > short_bytes::kMax) return scan_long_text(text);
    const auto [first, second] = short_bytes::cover(text.data(), text.size());
    const std::uint64_t breaks =
        swar::line_breaks(first) | (text.size() >= 8 ? swar::line_breaks(second) : 0);
    return {breaks != 0, ((first | second) & swar::kHighs) == 0};
}

inline bool has_line_break(std::string_view text) { return scan_text(text).line_break; }
inline bool is_ascii(std::string_view text) { return scan_text(text).ascii; }

// A text fit for a command line, which it must not end early: it holds no
// CR or LF. `ascii` tells whether all its bytes are ASCII, which lets a
// command made only of such texts become a Python str without decoding.
struct LineText {
    std::string_view bytes;
    bool ascii;
};

// The text as a LineText, or false if it holds a line break.
inline bool check_line_text(std::string_view text, LineText& out) {
    const TextFacts facts = scan_text(text);
    out = {text, facts.ascii};
    return !facts.line_break;
}

// Length of the longest prefix of `bytes` that is well-formed UTF-8.
std::size_t valid_utf8_prefix(std::string_view bytes);

// Replaces every ill-formed UTF-8 sequence by U+FFFD, one replacement per
// maximal subpart (the same result as Python's bytes.decode("utf-8",
// "replace")). `valid` is valid_utf8_prefix(bytes), when the caller has it.
std::string repair_utf8(std::string_view bytes, std::size_t valid);
inline std::string repair_utf8(std::string_view bytes) {
    return repair_utf8(bytes, valid_utf8_prefix(bytes));
}

// Removes characters with the Unicode White_Space property from both ends of
// a well-formed UTF-8 text.
std::string_view trim_white_space(std::string_view utf8);

}  // namespace sonvex::core
