// Splitting a received byte stream into lines and formatting them for output.
// Fed bytes in any chunking; holds no socket and no Python.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sonvex::core {

// Replaces every ill-formed UTF-8 sequence by U+FFFD, one replacement per
// maximal subpart (the same result as Python's bytes.decode("utf-8",
// "replace")). Well-formed input is returned unchanged.
std::string repair_utf8(std::string_view bytes);

// Removes characters with the Unicode White_Space property from both ends of
// a well-formed UTF-8 text.
std::string_view trim_white_space(std::string_view utf8);

// Appends the output line for one received line: "Received: ", the line
// repaired and trimmed, and a line feed.
void append_received_line(std::string& out, std::string_view raw_line);

// Accumulates bytes and cuts them into lines at each line feed (byte 10). A
// line has no length limit. feed() appends the output line of every line
// completed by the chunk to `out` (so all lines of one receive can be
// written at once); finish() does the same for a last line that the stream
// ended without a line feed, if any bytes of it were received.
class LineSplitter {
public:
    void feed(const char* data, std::size_t size, std::string& out);
    void finish(std::string& out);
    // Bytes of the current, not yet complete line.
    std::size_t pending() const { return partial_.size(); }

private:
    std::string partial_;
};

}  // namespace sonvex::core
