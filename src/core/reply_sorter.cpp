#include "core/reply_sorter.hpp"

#include <functional>
#include <new>

#include "core/reader.hpp"

namespace sonvex::core {

namespace {

// "Connection closed." without its line feed, as the splitter hands lines over.
constexpr std::string_view kClosedLine = kConnectionClosed.substr(0, kConnectionClosed.size() - 1);

// The most digits of a 64-bit number.
constexpr std::size_t kTagDigits = 20;

// The bytes after the last byte of `text` that is one of `stops`'s (or all).
template <char... Stops>
std::string_view last_word(std::string_view text) {
    const char* const begin = text.data();
    const char* p = begin + text.size();
    while (p != begin && ((p[-1] != Stops) && ...)) --p;
    return {p, static_cast<std::size_t>(begin + text.size() - p)};
}

std::optional<std::uint64_t> tag_of_word(std::string_view word) {
    if (word.substr(0, kTagKey.size()) != kTagKey) return std::nullopt;
    const std::string_view digits = word.substr(kTagKey.size());
    if (digits.empty() || digits.size() > kTagDigits) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::optional<std::uint64_t> reply_tag(std::string_view text) {
    return tag_of_word(last_word<' ', '\t'>(text));
}

// The tag of the last of the texts, parsed once per chunk rather than for
// every reply: its last word ends before the texts' last line feed and
// starts after white space or the line feed that ends the text before it.
static void tag_last(SortedLines& out) {
    const std::string_view texts(out.texts.data(), out.texts.size() - 1);
    out.last_tag = tag_of_word(last_word<' ', '\t', '\n'>(texts));
}

void ReplySorter::sort_line(std::string_view line, SortedLines& out) {
    if (line.substr(0, kReceived.size()) == kReceived) {
        const std::string_view text = line.substr(kReceived.size());
        if (echo_) {
            out.output.append(line);
            out.output += '\n';
        }
        out.texts.append(text);
        out.texts += '\n';
        ++out.replies;   // its tag, when it is the last, in feed()
        return;
    }
    if (line == kClosedLine) {
        if (echo_) out.output.append(kConnectionClosed);
        ++out.closed;
        return;
    }
    out.output.append(line);
    out.output += '\n';
}

bool ReplySorter::feed(const char* data, std::size_t size, SortedLines& out) {
    const std::size_t carried = splitter_.pending();
    const std::size_t replies = out.replies;
    const char* sorted_to = data;   // the chunk's bytes before this are in `out`
    try {
        splitter_.feed(data, size, [&](std::string_view line) {
            // A line is sorted whole or not at all: what a step that ran out
            // of memory had appended goes again (counts change last).
            const std::size_t texts = out.texts.size(), output = out.output.size();
            try {
                sort_line(line, out);
            } catch (...) {
                out.texts.resize(texts);
                out.output.resize(output);
                throw;
            }
            // The line lies in the chunk, or is the carried start and the
            // chunk's first bytes.
            const bool in_chunk = std::less_equal<const char*>()(data, line.data()) &&
                                  std::less<const char*>()(line.data(), data + size);
            sorted_to = (in_chunk ? line.data() + line.size() : data + (line.size() - carried)) + 1;
        });
        if (out.replies != replies) tag_last(out);
        return true;
    } catch (const std::bad_alloc&) {
        if (out.replies != replies) tag_last(out);
        raw_ = true;
        // Until the first line is sorted, the carried start is unsorted.
        carried_ = sorted_to == data ? splitter_.unfinished().substr(0, carried) : std::string_view();
        rest_ = std::string_view(sorted_to, static_cast<std::size_t>(data + size - sorted_to));
        return false;
    }
}

void ReplySorter::forget_unfinished() {
    splitter_.finish([](std::string_view) {});
    carried_ = rest_ = std::string_view();
}

}  // namespace sonvex::core
