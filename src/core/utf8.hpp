// UTF-8 checks and repair, and trimming of Unicode white space. No Python.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sonvex::core {

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
