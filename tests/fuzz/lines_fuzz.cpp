// Fuzz target: cutting a received stream into lines and the reader's output
// line for each (UTF-8 repair, White_Space trimming), in any chunking,
// against plain references written from the definitions:
//
// - lines end at each line feed; bytes after the last one are a last line;
// - each ill-formed sequence becomes U+FFFD, one per maximal subpart: the
//   longest run of bytes that some well-formed character starts with
//   (decided here from the range of code points the bytes can still lead
//   to, not from the table of second bytes the implementation uses);
// - trimming removes characters with the White_Space property from both ends.
//
// The input's first two bytes choose the chunk sizes; the rest is the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/line_splitter.hpp"
#include "core/reader.hpp"
#include "core/utf8.hpp"

using namespace sonvex::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "lines fuzz: %s\n", what);
    std::abort();
}

// Length of a well-formed sequence led by `lead`, or 0 for a byte that
// leads none.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Whether the first `k` bytes at `p` (a lead byte and continuation bytes) are
// the start of some well-formed character of `length` bytes: the code points
// they can still lead to, filling the rest with the lowest and highest
// continuation bits, meet the scalar values of that length.
bool starts_a_character(const unsigned char* p, std::size_t k, std::size_t length) {
    static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    static const std::uint32_t kMost[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    std::uint32_t bits = p[0] & (0x7F >> length);
    for (std::size_t i = 1; i < k; ++i) {
        if ((p[i] & 0xC0) != 0x80) return false;
        bits = bits << 6 | (p[i] & 0x3F);
    }
    const std::size_t rest = 6 * (length - k);
    const std::uint32_t low = bits << rest, high = (bits << rest) | ((1u << rest) - 1);
    const std::uint32_t from = std::max(low, kLeast[length]), to = std::min(high, kMost[length]);
    if (from > to) return false;
    // Surrogates are not scalar values.
    return !(from >= 0xD800 && to <= 0xDFFF);
}

std::string reference_repair(std::string_view s) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = sequence_length(p[i]);
        std::size_t k = 1;
        if (length > 1) {
            if (!starts_a_character(p + i, 1, length)) k = 0;  // C0, C1, F5..F7 lead nothing
            while (k > 0 && k < length && i + k < s.size() && starts_a_character(p + i, k + 1, length))
                ++k;
        }
        if (length != 0 && k == length) {
            out.append(s.substr(i, k));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += k ? k : 1;
    }
    return out;
}

bool is_white_space(std::uint32_t c) {
    static const std::uint32_t kWhite[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                          0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                          0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F,
                                          0x205F, 0x3000};
    for (std::uint32_t w : kWhite)
        if (c == w) return true;
    return false;
}

// Trims well-formed UTF-8 by decoding it into code points.
std::string reference_trim(std::string_view s) {
    std::vector<std::pair<std::uint32_t, std::string_view>> chars;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = sequence_length(p[i]);
        std::uint32_t c = p[i] & (0x7F >> (length == 1 ? 0 : length));
        for (std::size_t j = 1; j < length; ++j) c = c << 6 | (p[i + j] & 0x3F);
        chars.emplace_back(c, s.substr(i, length));
        i += length;
    }
    std::size_t first = 0, last = chars.size();
    while (first < last && is_white_space(chars[first].first)) ++first;
    while (last > first && is_white_space(chars[last - 1].first)) --last;
    std::string out;
    for (std::size_t i = first; i < last; ++i) out.append(chars[i].second);
    return out;
}

std::string reference_output(std::string_view stream) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != '\n') continue;
        out += "Received: " + reference_trim(reference_repair(stream.substr(start, i - start))) + "\n";
        start = i + 1;
    }
    if (start < stream.size())
        out += "Received: " + reference_trim(reference_repair(stream.substr(start))) + "\n";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t state = data[0] << 8 | data[1];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    // The pieces on their own.
    const std::string repaired = repair_utf8(stream);
    if (repaired != reference_repair(stream)) fail("repair");
    if ((valid_utf8_prefix(stream) == stream.size()) != (repaired == stream)) fail("validity");
    if (trim_white_space(repaired) != reference_trim(repaired)) fail("trim");
    const TextFacts facts = scan_text(stream);
    if (facts.line_break != (stream.find_first_of("\r\n") != std::string_view::npos))
        fail("line break scan");
    bool ascii = true;
    for (char c : stream) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (facts.ascii != ascii) fail("ASCII scan");

    // The stream in chunks of pseudo-random sizes.
    LineSplitter splitter;
    std::string out;
    auto on_line = [&out](std::string_view line) { append_received_line(out, line); };
    for (std::size_t i = 0; i < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t step = 1 + (state >> 16) % (state & 1 ? 9000 : 17);
        const std::size_t n = std::min(step, stream.size() - i);
        splitter.feed(stream.data() + i, n, on_line);
        i += n;
    }
    splitter.finish(on_line);
    if (out != reference_output(stream)) fail("output lines");
    return 0;
}
