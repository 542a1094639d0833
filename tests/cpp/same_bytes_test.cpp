// The tests' comparison of long byte strings: a failure says where the
// strings differ in a few hundred bytes, however long they are.
#include "same_bytes.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using sonvex::testing::SameBytes;

struct Case {
    std::string actual, expected;
    std::string message;  // empty: the strings are the same
    friend void PrintTo(const Case& c, std::ostream* os) {
        *os << c.actual.size() << " and " << c.expected.size() << " bytes";
    }
};

class SameBytesCase : public testing::TestWithParam<Case> {};

TEST_P(SameBytesCase, SaysWhereTheyDifferBriefly) {
    const Case& c = GetParam();
    const testing::AssertionResult result = SameBytes("a", "e", c.actual, c.expected);
    EXPECT_EQ(static_cast<bool>(result), c.message.empty());
    EXPECT_EQ(result.message(), c.message);
}

const std::string kMiB(1 << 20, 'x');
// What is shown of the long strings: 24 bytes before the difference, 40 from it.
const std::string kAround = std::string(24, 'x') + "%" + std::string(39, 'x');

std::string around(char c) {
    std::string shown = kAround;
    shown[24] = c;
    return "...\"" + shown + "\"...";
}

INSTANTIATE_TEST_SUITE_P(
    Strings, SameBytesCase,
    testing::Values(
        Case{kMiB, kMiB, ""}, Case{"", "", ""},
        Case{kMiB + "y" + kMiB, kMiB + "z" + kMiB,
             "a (2097153 bytes) and e (2097153 bytes) differ first at byte 1048576:\n  " +
                 around('y') + "\n  " + around('z')},
        Case{"line\n", "line\n\xff\"\\",
             "a (5 bytes) and e (8 bytes) differ first at byte 5:\n"
             "  \"line\\n\"\n"
             "  \"line\\n\\xff\\\"\\\\\""}));

}  // namespace
