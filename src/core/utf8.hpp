// UTF-8 checks and repair, and trimming of Unicode white space. No Python.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sonvex::core {

// What a text holds that matters for a protocol line: a carriage return or a
// line feed (which would end the line early), and any byte that is not
// ASCII.
struct TextFacts {
    bool line_break;
    bool ascii;
};
TextFacts scan_long_text(std::string_view text);
inline TextFacts scan_text(std::string_view text) {
    if (text.size() > 16) return scan_long_text(text);
    bool line_break = false;
    unsigned char high = 0;
    for (const char c : text) {
        line_break |= c == '\n' || c == '\r';
        high |= static_cast<unsigned char>(c);
    }
    return {line_break, high < 0x80};
}

inline bool has_line_break(std::string_view text) { return scan_text(text).line_break; }
inline bool is_ascii(std::string_view text) { return scan_text(text).ascii; }

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
