// Writing the pieces of a line straight into a buffer sized beforehand:
// fixed texts, and the decimal digits of integers (the numbers of command
// lines, the command tag, sum_as_string). Digits go two at a time, from a
// table, which is several times cheaper than a division per digit. No
// Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sonvex::core {

// The longest decimal form of a 64-bit integer: "-9223372036854775808" (and
// "18446744073709551615").
inline constexpr std::size_t kMaxDecimal = 20;

constexpr std::size_t digit_count(std::uint64_t value) {
    if (value < 10) return 1;
    if (value < 100) return 2;
    if (value < 1000) return 3;
    if (value < 10000) return 4;
    std::size_t count = 5;
    for (value /= 100000; value != 0; value /= 10) ++count;
    return count;
}

// The absolute value, also of the most negative one.
constexpr std::uint64_t magnitude(std::int64_t value) {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

namespace put_detail {
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}  // namespace put_detail

// Writes the digits of `value` at `out` (digit_count(value) bytes); returns
// their end.
inline char* put_unsigned(char* out, std::uint64_t value) {
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    char* const end = out + digit_count(value);
    char* p = end;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, put_detail::kDigitPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(p - 2, put_detail::kDigitPairs + 2 * value, 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    return end;
}

// The digits after "-" for a negative value; at most kMaxDecimal bytes.
inline char* put_signed(char* out, std::int64_t value) {
    if (value < 0) *out++ = '-';
    return put_unsigned(out, magnitude(value));
}

// Copies `text` to `out`; returns its end. For the fixed parts of a line.
inline char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace sonvex::core
