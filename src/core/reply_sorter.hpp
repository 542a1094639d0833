// Sorting what the module printed back into replies: the bytes that a reader
// of descriptor 1 (the reply tap's drain) reads, in any chunking, become the
// texts of the "Received: " lines with their command tags, a count of
// "Connection closed." lines and the other lines, to pass on. No descriptor,
// no thread, no Python: fed bytes, it sorts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/line_splitter.hpp"

namespace sonvex::core {

// The word a reply ends with when it answers a command: "COMMANDTAG=" and the
// command's tag in decimal.
inline constexpr std::string_view kTagKey = "COMMANDTAG=";

// The tag of a reply text: the number of its last word (after the last space
// or tab) when that word is "COMMANDTAG=" and 1 to 20 decimal digits whose
// value fits 64 bits; none otherwise (no such word, a sign, other
// characters, a value no client sends, anything after the number).
std::optional<std::uint64_t> reply_tag(std::string_view text);

// What one chunk sorted into; each call of ReplySorter::feed appends.
struct SortedLines {
    std::string texts;            // reply texts, each followed by a line feed
    std::size_t replies = 0;      // lines in texts
    std::optional<std::uint64_t> last_tag;   // reply_tag of the last of them
    std::uint64_t closed = 0;     // "Connection closed." lines
    std::string output;           // the lines to pass on (or keep), in order, line feeds kept
};

// Sorts lines: a line that starts with kReceived is a reply (its text is the
// rest of the line); a line that is exactly "Connection closed." is counted;
// every other line is passed on. With `echo` or `keep_output`, replies and
// closed lines are passed on too, so that the output holds every line.
class ReplySorter {
public:
    ReplySorter(bool echo, bool keep_output) : echo_(echo || keep_output) {}

    // Sorts the lines the chunk completes into `out`; the start of an
    // unfinished line waits for the next chunk. Returns false when memory
    // ran out: what was sorted stays in `out`, the bytes not sorted are
    // unsorted() (to pass on as they came), and from then on the sorter is
    // raw(): its caller passes chunks on as they are, without feeding them.
    bool feed(const char* data, std::size_t size, SortedLines& out);

    // After feed() returned false: the bytes it did not sort, in order (the
    // start of a line carried from earlier chunks, then the rest of the
    // chunk), valid until the next call of the sorter.
    std::string_view unsorted_carried() const { return carried_; }
    std::string_view unsorted_rest() const { return rest_; }

    // The stream ended: the bytes of an unfinished last line, as they came
    // (none once raw), valid until forget_unfinished().
    std::string_view unfinished() const { return raw_ ? std::string_view() : splitter_.unfinished(); }

    // Drops the bytes of unfinished() and unsorted(), giving back their memory.
    void forget_unfinished();

    bool raw() const { return raw_; }

private:
    void sort_line(std::string_view line, SortedLines& out);

    LineSplitter splitter_;
    const bool echo_;
    bool raw_ = false;
    std::string_view carried_, rest_;
};

}  // namespace sonvex::core
