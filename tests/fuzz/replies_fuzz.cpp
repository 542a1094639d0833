// Fuzz target: sorting what the module printed into replies, closed lines
// and lines to pass on, in any chunking, against a plain reference written
// from the definitions:
//
// - lines end at each line feed; bytes after the last one stay unfinished;
// - a line that starts with "Received: " is a reply, its text the rest;
// - a line that is exactly "Connection closed." is counted;
// - every other line is passed on; with echo or keep_output every line is;
// - a reply's tag is the value of its last space- or tab-separated word when
//   that is "COMMANDTAG=" and 1 to 20 digits not above 2^64 - 1.
//
// So the texts and the output, joined back, are the stream's lines minus
// the reply prefixes, whatever the read boundaries. The input's first two
// bytes choose the chunk sizes, the third the mode; the rest is the stream,
// written in a few words so that the interesting lines come up often.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/reply_sorter.hpp"

using namespace sonvex::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "replies fuzz: %s\n", what);
    std::abort();
}

// The stream: bytes 0xF0-0xF7 stand for words that make the lines the
// sorter looks for; every other byte is itself.
std::string expand(std::string_view input) {
    static const char* const kWords[] = {"Received: ", "Connection closed.", "COMMANDTAG=",
                                         " COMMANDTAG=", "18446744073709551615",
                                         "18446744073709551616", "\r\n", "Connection closed.\n"};
    std::string out;
    for (char c : input) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0xF0 && byte <= 0xF7) {
            out += kWords[byte - 0xF0];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::uint64_t> reference_tag(std::string_view text) {
    std::size_t start = text.size();
    while (start > 0 && text[start - 1] != ' ' && text[start - 1] != '\t') --start;
    const std::string word(text.substr(start));
    const std::string key = "COMMANDTAG=";
    if (word.compare(0, key.size(), key) != 0) return std::nullopt;
    const std::string digits = word.substr(key.size());
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Compared as 20-digit numbers with leading zeros against 2^64 - 1.
    const std::string padded = std::string(20 - digits.size(), '0') + digits;
    if (padded > "18446744073709551615") return std::nullopt;
    return std::strtoull(digits.c_str(), nullptr, 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::uint32_t state = data[0] << 8 | data[1];
    const bool echo = data[2] & 1, keep_output = data[2] & 2;
    const std::string stream = expand(std::string_view(reinterpret_cast<const char*>(data) + 3, size - 3));

    // The reference, line by line.
    SortedLines expected;
    std::size_t at = 0;
    for (std::size_t nl; (nl = stream.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = stream.substr(at, nl - at);
        if (line.rfind("Received: ", 0) == 0) {
            expected.texts += line.substr(10) + "\n";
            ++expected.replies;
            expected.last_tag = reference_tag(std::string_view(line).substr(10));
            if (echo || keep_output) expected.output += line + "\n";
        } else if (line == "Connection closed.") {
            ++expected.closed;
            if (echo || keep_output) expected.output += line + "\n";
        } else {
            expected.output += line + "\n";
        }
    }
    const std::string unfinished = stream.substr(at);

    // The stream in chunks of pseudo-random sizes.
    ReplySorter sorter(echo, keep_output);
    SortedLines got;
    for (std::size_t i = 0; i < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t step = 1 + (state >> 16) % (state & 1 ? 9000 : 17);
        const std::size_t n = std::min(step, stream.size() - i);
        if (!sorter.feed(stream.data() + i, n, got)) fail("out of memory");
        i += n;
    }
    if (got.texts != expected.texts) fail("reply texts");
    if (got.replies != expected.replies) fail("count of replies");
    if (got.replies != 0 && got.last_tag != expected.last_tag) fail("tag");
    if (got.closed != expected.closed) fail("closed lines");
    if (got.output != expected.output) fail("output");
    if (sorter.unfinished() != unfinished) fail("unfinished line");

    // Each text on its own: the same tag as the reference's.
    const std::string_view tail(stream.data() + stream.size() - std::min<std::size_t>(stream.size(), 64),
                                std::min<std::size_t>(stream.size(), 64));
    if (reply_tag(tail) != reference_tag(tail)) fail("tag of a text");
    return 0;
}
