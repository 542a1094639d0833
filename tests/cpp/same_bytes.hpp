// Comparing long byte strings in tests. gtest's EXPECT_EQ prints both
// strings whole on a failure, which for the reader's and the output's tests
// (lines of 20 KB to 1 MiB, compared in loops) makes megabytes of log.
// SameBytes says instead where they differ: both lengths, the first
// differing offset and some bytes around it, escaped:
//
//   EXPECT_PRED_FORMAT2(SameBytes, printed, expected);
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

namespace sonvex::testing {

// The bytes of `s` around offset `at`, quoted and escaped, with "..." where
// more bytes were left out.
inline std::string excerpt_at(std::string_view s, std::size_t at) {
    constexpr std::size_t kBefore = 24, kAfter = 40;
    const std::size_t begin = std::min(s.size(), at > kBefore ? at - kBefore : 0);
    const std::string_view shown = s.substr(begin, (at - begin) + kAfter);
    std::string out = begin > 0 ? "...\"" : "\"";
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    out += begin + shown.size() < s.size() ? "\"..." : "\"";
    return out;
}

inline ::testing::AssertionResult SameBytes(const char* actual_text, const char* expected_text,
                                            std::string_view actual, std::string_view expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
        actual.begin());
    return ::testing::AssertionFailure()
           << actual_text << " (" << actual.size() << " bytes) and " << expected_text << " ("
           << expected.size() << " bytes) differ first at byte " << at << ":\n  "
           << excerpt_at(actual, at) << "\n  " << excerpt_at(expected, at);
}

}  // namespace sonvex::testing
