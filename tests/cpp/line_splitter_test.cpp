#include "core/line_splitter.hpp"
#include "core/reader.hpp"
#include "core/utf8.hpp"
#include "same_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using sonvex::core::append_received_line;
using sonvex::core::LineSplitter;
using sonvex::core::repair_utf8;
using sonvex::core::trim_white_space;
using sonvex::testing::SameBytes;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
    std::string input;
    std::string expected;
};

Case same(std::string s) { return {s, s}; }

std::string utf8(char32_t c) {
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string s(1, static_cast<char>(lead[n] | (c >> (6 * (n - 1)))));
    while (--n > 0) s += static_cast<char>(0x80 | ((c >> (6 * (n - 1))) & 0x3F));
    return s;
}

// --- repair_utf8 ---

class RepairUtf8 : public testing::TestWithParam<Case> {};

TEST_P(RepairUtf8, ReplacesEachMaximalSubpart) {
    EXPECT_EQ(repair_utf8(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    WellFormed, RepairUtf8,
    testing::Values(same(""), same("plain text"), same("a\0b"s), same("\x7f"),
                    same("\xc2\x80"), same("\xdf\xbf"), same("\xe0\xa0\x80"), same("\xed\x9f\xbf"),
                    same("\xee\x80\x80"), same("\xef\xbf\xbf"), same(R), same("\xf0\x90\x80\x80"),
                    same("\xf4\x8f\xbf\xbf"), same("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80")));

INSTANTIATE_TEST_SUITE_P(
    IllFormed, RepairUtf8,
    testing::Values(
        Case{"\xff", R}, Case{"\x80", R}, Case{"\xbf\x80", R + R},                // no lead byte
        Case{"\xc0\xaf", R + R}, Case{"\xc1\xbf", R + R},                        // overlong lead
        Case{"\xe0\x80\x80", R + R + R}, Case{"\xf0\x80\x80\x80", R + R + R + R},  // overlong
        Case{"\xed\xa0\x80", R + R + R}, Case{"\xed\xbf\xbf", R + R + R},        // surrogates
        Case{"\xf4\x90\x80\x80", R + R + R + R}, Case{"\xf5\x80\x80\x80", R + R + R + R},
        Case{"\xc2", R}, Case{"\xe2\x82", R}, Case{"\xf0\x90", R}, Case{"\xf0\x90\x80", R},
        Case{"\xc2" "A", R + "A"}, Case{"\xe2\x82" "A", R + "A"}, Case{"\xf0\x90\x80" "A", R + "A"},
        Case{"\xe2\x82\xe2\x82\xac", R + "\xe2\x82\xac"}, Case{"\xc2\xc2\xa9", R + "\xc2\xa9"},
        Case{"\xf0\x9f\x98\x80\x80", "\xf0\x9f\x98\x80" + R},  // surplus continuation byte
        Case{"\xf1\x80\x80\xe1\x80\xc0", R + R + R}, Case{"a\xff" "b\xc3", "a" + R + "b" + R},
        Case{"\0\xfe"s, "\0"s + R}));

// --- trim_white_space ---

const std::vector<char32_t> kWhiteSpace = {
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

class TrimWhiteSpace : public testing::TestWithParam<char32_t> {};

TEST_P(TrimWhiteSpace, RemovesFromBothEndsOnly) {
    const std::string w = utf8(GetParam());
    EXPECT_EQ(trim_white_space(w + "a" + w + w), "a");
    EXPECT_EQ(trim_white_space(w + "a" + w + "b" + w), "a" + w + "b");
    EXPECT_EQ(trim_white_space(w), "");
}

INSTANTIATE_TEST_SUITE_P(EveryCharacter, TrimWhiteSpace, testing::ValuesIn(kWhiteSpace));

class KeepNonWhiteSpace : public testing::TestWithParam<char32_t> {};

TEST_P(KeepNonWhiteSpace, AtEitherEnd) {
    const std::string c = utf8(GetParam());
    EXPECT_EQ(trim_white_space(c + "a" + c), c + "a" + c);
    EXPECT_EQ(trim_white_space(" " + c + "\t"), c);
}

// Neighbours of the white space ranges and look-alikes that lack the property.
INSTANTIATE_TEST_SUITE_P(Neighbours, KeepNonWhiteSpace,
                         testing::Values(0x00, 0x08, 0x0E, 0x1C, 0x1D, 0x1E, 0x1F, 0x21, 0x7F, 0x84,
                                         0x86, 0x9F, 0xA1, 0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B,
                                         0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF,
                                         0x3001, 0xFEFF, 0xFFFD, 0x1F600, 0x10FFFF));

TEST(TrimWhiteSpace, AllWhiteSpaceGivesEmpty) {
    std::string all;
    for (char32_t c : kWhiteSpace) all += utf8(c);
    EXPECT_EQ(trim_white_space(all), "");
}

// --- LineSplitter, with the reader's output line for each line ---

// Collects the reader's output for every line the splitter hands over.
struct Printer {
    std::string& out;
    void operator()(std::string_view line) const { append_received_line(out, line); }
};

// Feeds `in` as a first chunk of `first` bytes, then chunks of `step` bytes,
// then finishes the stream.
std::string run(std::string_view in, std::size_t first, std::size_t step) {
    LineSplitter splitter;
    std::string out;
    splitter.feed(in.data(), first, Printer{out});
    for (std::size_t i = first; i < in.size(); i += step)
        splitter.feed(in.data() + i, std::min(step, in.size() - i), Printer{out});
    splitter.finish(Printer{out});
    return out;
}

class Splitter : public testing::TestWithParam<Case> {};

TEST_P(Splitter, SameOutputForEveryChunking) {
    const auto& [in, expected] = GetParam();
    for (std::size_t k = 0; k <= in.size(); ++k)
        EXPECT_PRED_FORMAT2(SameBytes, run(in, k, in.size() + 1), expected) << "split at " << k;
    EXPECT_PRED_FORMAT2(SameBytes, run(in, 0, 1), expected) << "single bytes";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Splitter,
    testing::Values(
        Case{"", ""}, Case{"hello\n", "Received: hello\n"}, Case{"hello\r\n", "Received: hello\n"},
        Case{"\n", "Received: \n"}, Case{"\r\n", "Received: \n"},
        Case{"one\ntwo\n", "Received: one\nReceived: two\n"},
        Case{"a\n\nno feed", "Received: a\nReceived: \nReceived: no feed\n"},
        Case{"\r", "Received: \n"}, Case{"a\rb\0c\n"s, "Received: a\rb\0c\n"s},
        Case{" \t padded \xc2\xa0\xe3\x80\x80\r\n", "Received: padded\n"},
        Case{"caf\xc3\xa9 \xf0\x9f\x98\x80\n", "Received: caf\xc3\xa9 \xf0\x9f\x98\x80\n"},
        Case{"bad\xff\xe2\x82 end\n", "Received: bad" + R + R + " end\n"},
        Case{"\xe2\x80\x83\xc2\n\xc3", "Received: " + R + "\nReceived: " + R + "\n"}));

TEST(Splitter, LongLineAcrossReceiveBuffers) {
    for (std::size_t size : {100u << 10, 1u << 20}) {
        std::string text;
        while (text.size() < size) text += "x\xc3\xa9";  // two-byte characters straddle chunks
        const std::string in = text + "\r\n";
        LineSplitter splitter;
        std::string out;
        for (std::size_t i = 0; i < in.size(); i += 8192) {
            ASSERT_PRED_FORMAT2(SameBytes, out, "") << "after " << i << " bytes";
            ASSERT_EQ(splitter.pending(), i);
            splitter.feed(in.data() + i, std::min<std::size_t>(8192, in.size() - i), Printer{out});
        }
        EXPECT_EQ(splitter.pending(), 0u);
        EXPECT_PRED_FORMAT2(SameBytes, out, "Received: " + text + "\n") << "size " << size;
    }
}

TEST(Splitter, AppendsAndKeepsOnlyTheIncompleteTail) {
    LineSplitter splitter;
    std::string out = "earlier\n";
    splitter.feed("a\nbc", 4, Printer{out});
    EXPECT_EQ(splitter.pending(), 2u);
    splitter.feed("d\ne\n", 4, Printer{out});
    EXPECT_EQ(splitter.pending(), 0u);
    EXPECT_EQ(out, "earlier\nReceived: a\nReceived: bcd\nReceived: e\n");
    splitter.finish(Printer{out});
    EXPECT_EQ(out, "earlier\nReceived: a\nReceived: bcd\nReceived: e\n");
}

TEST(Splitter, FinishWritesTheLastLineOnce) {
    LineSplitter splitter;
    std::string out;
    splitter.finish(Printer{out});
    EXPECT_EQ(out, "");
    splitter.feed("tail", 4, Printer{out});
    EXPECT_EQ(out, "");
    splitter.finish(Printer{out});
    splitter.finish(Printer{out});
    EXPECT_EQ(out, "Received: tail\n");
    EXPECT_EQ(splitter.pending(), 0u);
}

}  // namespace
