#include "core/reply_sorter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using sonvex::core::reply_tag;
using sonvex::core::ReplySorter;
using sonvex::core::SortedLines;

constexpr auto kNone = std::nullopt;

// --- reply_tag ---

struct TagCase {
    std::string text;
    std::optional<std::uint64_t> tag;
};

class ReplyTag : public testing::TestWithParam<TagCase> {};

TEST_P(ReplyTag, ReadsTheLastWordOnly) { EXPECT_EQ(reply_tag(GetParam().text), GetParam().tag); }

INSTANTIATE_TEST_SUITE_P(
    Valid, ReplyTag,
    testing::Values(TagCase{"CallMake 7 200 COMMANDTAG=5", 5}, TagCase{"COMMANDTAG=0", 0},
                    TagCase{"a\tCOMMANDTAG=12", 12}, TagCase{"a COMMANDTAG=007", 7},
                    TagCase{"x COMMANDTAG=18446744073709551615", UINT64_MAX},
                    TagCase{"x COMMANDTAG=00000000000000000009", 9},       // 20 digits
                    TagCase{"COMMANDTAG=3 COMMANDTAG=4", 4},               // the last one
                    TagCase{"a  COMMANDTAG=6", 6}, TagCase{"\xff\xfe COMMANDTAG=8", 8}));

INSTANTIATE_TEST_SUITE_P(
    NoTag, ReplyTag,
    testing::Values(TagCase{"", kNone}, TagCase{"OK", kNone}, TagCase{"a COMMANDTAG=", kNone},
                    TagCase{"a COMMANDTAG", kNone}, TagCase{"a COMMANDTAG=-1", kNone},
                    TagCase{"a COMMANDTAG=+1", kNone}, TagCase{"a COMMANDTAG=1a", kNone},
                    TagCase{"a COMMANDTAG=a1", kNone}, TagCase{"a COMMANDTAG=1.0", kNone},
                    TagCase{"a COMMANDTAG=\xd9\xa3", kNone},               // ARABIC-INDIC THREE
                    TagCase{"x COMMANDTAG=18446744073709551616", kNone},   // 2^64
                    TagCase{"x COMMANDTAG=99999999999999999999", kNone},
                    TagCase{"x COMMANDTAG=000000000000000000001", kNone},  // 21 digits
                    TagCase{"a COMMANDTAG=5 b", kNone},                    // not the last word
                    TagCase{"a COMMANDTAG=5 ", kNone}, TagCase{"a COMMANDTAG=5\r", kNone},
                    TagCase{"aCOMMANDTAG=5", kNone}, TagCase{"a commandtag=5", kNone},
                    TagCase{"a COMMANDTAG=COMMANDTAG=5", kNone},
                    TagCase{"a COMMANDTAG=5\0"s, kNone}));

// --- sorting a stream ---

struct SortCase {
    const char* name;
    std::string stream;
    bool echo, keep_output;
    std::string texts;   // the reply texts, each with a line feed
    std::optional<std::uint64_t> last_tag;
    std::uint64_t closed;
    std::string output;
    std::string unfinished;
};

std::size_t lines_in(const std::string& texts) {
    std::size_t n = 0;
    for (char c : texts) n += c == '\n';
    return n;
}

// Feeds the chunks one after the other into one SortedLines.
void expect_sorted(const SortCase& c, const std::vector<std::string>& chunks) {
    ReplySorter sorter(c.echo, c.keep_output);
    SortedLines out;
    for (const std::string& chunk : chunks) ASSERT_TRUE(sorter.feed(chunk.data(), chunk.size(), out));
    EXPECT_EQ(out.texts, c.texts);
    EXPECT_EQ(out.replies, lines_in(c.texts));
    EXPECT_EQ(out.closed, c.closed);
    EXPECT_EQ(out.output, c.output);
    EXPECT_EQ(sorter.unfinished(), c.unfinished);
    if (out.replies != 0) {
        EXPECT_EQ(out.last_tag, c.last_tag);
    }
    EXPECT_FALSE(sorter.raw());
    sorter.forget_unfinished();
    EXPECT_EQ(sorter.unfinished(), "");
}

class SortStream : public testing::TestWithParam<SortCase> {};

TEST_P(SortStream, InOneChunk) { expect_sorted(GetParam(), {GetParam().stream}); }

TEST_P(SortStream, CutInTwoAtEveryByte) {
    const std::string& s = GetParam().stream;
    for (std::size_t at = 0; at <= s.size(); ++at) {
        SCOPED_TRACE("cut at " + std::to_string(at));
        expect_sorted(GetParam(), {s.substr(0, at), s.substr(at)});
    }
}

TEST_P(SortStream, ByteByByte) {
    std::vector<std::string> bytes;
    for (char c : GetParam().stream) bytes.emplace_back(1, c);
    expect_sorted(GetParam(), bytes);
}

TEST_P(SortStream, CutInThreeAtEveryPair) {
    const std::string& s = GetParam().stream;
    for (std::size_t a = 0; a <= s.size(); ++a) {
        for (std::size_t b = a; b <= s.size(); ++b) {
            SCOPED_TRACE("cut at " + std::to_string(a) + " and " + std::to_string(b));
            expect_sorted(GetParam(), {s.substr(0, a), s.substr(a, b - a), s.substr(b)});
        }
    }
}

const std::string kMixed =
    "hello\nReceived: OK CallMake COMMANDTAG=3\nConnection closed.\nReceived: Event 4\nbye\n";

INSTANTIATE_TEST_SUITE_P(
    Streams, SortStream,
    testing::Values(
        SortCase{"Reply", "Received: OK COMMANDTAG=1\n", false, false, "OK COMMANDTAG=1\n", 1, 0, "", ""},
        SortCase{"Mixed", kMixed, false, false, "OK CallMake COMMANDTAG=3\nEvent 4\n", kNone, 1,
                 "hello\nbye\n", ""},
        SortCase{"MixedEcho", kMixed, true, false, "OK CallMake COMMANDTAG=3\nEvent 4\n", kNone, 1,
                 kMixed, ""},
        SortCase{"MixedKeepOutput", kMixed, false, true, "OK CallMake COMMANDTAG=3\nEvent 4\n",
                 kNone, 1, kMixed, ""},
        SortCase{"LastTagIsTheLastReplys", "Received: A COMMANDTAG=1\nReceived: B COMMANDTAG=2\nx\n",
                 false, false, "A COMMANDTAG=1\nB COMMANDTAG=2\n", 2, 0, "x\n", ""},
        SortCase{"CrLf", "Received: A COMMANDTAG=2\r\nConnection closed.\r\n", false, false,
                 "A COMMANDTAG=2\r\n", kNone, 0, "Connection closed.\r\n", ""},
        SortCase{"UnfinishedReply", "Received: A\nReceived: B COMMANDTAG=9", false, false, "A\n",
                 kNone, 0, "", "Received: B COMMANDTAG=9"},
        SortCase{"UnfinishedOther", "x\nno line feed", false, false, "", kNone, 0, "x\n",
                 "no line feed"},
        SortCase{"UnfinishedClosed", "Connection closed.", false, false, "", kNone, 0, "",
                 "Connection closed."},
        SortCase{"PrefixOnly", "Received: \nReceived: COMMANDTAG=0\n", false, false,
                 "\nCOMMANDTAG=0\n", 0, 0, "", ""},
        SortCase{"PrefixNearMisses", "Received:\nreceived: a\n Received: b\nReceived:  c\n", false,
                 false, " c\n", kNone, 0, "Received:\nreceived: a\n Received: b\n", ""},
        SortCase{"ClosedNearMisses",
                 "Connection closed\nConnection closed. \nconnection closed.\nConnection closed..\n"
                 " Connection closed.\nConnection closed.\n",
                 false, false, "", kNone, 1,
                 "Connection closed\nConnection closed. \nconnection closed.\nConnection closed..\n"
                 " Connection closed.\n",
                 ""},
        SortCase{"ClosedTwiceEcho", "Connection closed.\nConnection closed.\n", true, false, "",
                 kNone, 2, "Connection closed.\nConnection closed.\n", ""},
        SortCase{"EmptyLinesAndNul", "\n\nReceived: a\0b\n\0\n"s, false, false, "a\0b\n"s, kNone,
                 0, "\n\n\0\n"s, ""},
        SortCase{"Empty", "", false, false, "", kNone, 0, "", ""}),
    [](const testing::TestParamInfo<SortCase>& info) { return std::string(info.param.name); });

// A long line carried over many chunks is one reply, whatever the chunking.
TEST(ReplySorterLong, LineOverManyChunks) {
    const std::string text(200000, 'x');
    const std::string stream = "Received: " + text + " COMMANDTAG=77\nafter\n";
    for (std::size_t step : {1u << 10, 4093u, 65536u}) {
        ReplySorter sorter(false, false);
        SortedLines out;
        for (std::size_t i = 0; i < stream.size(); i += step) {
            const std::string chunk = stream.substr(i, step);
            ASSERT_TRUE(sorter.feed(chunk.data(), chunk.size(), out));
        }
        EXPECT_EQ(out.texts, text + " COMMANDTAG=77\n");
        EXPECT_EQ(out.last_tag, 77u);
        EXPECT_EQ(out.output, "after\n");
    }
}

}  // namespace
