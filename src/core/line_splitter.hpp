// Cutting a received byte stream into lines. Fed bytes in any chunking; holds
// no socket, no output text and no Python.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "core/buffer.hpp"

namespace sonvex::core {

// Accumulates bytes and cuts them into lines at each line feed (byte 10). A
// line has no length limit. feed() hands every line that the chunk completes
// to `on_line` as its raw bytes without the line feed; finish() hands over
// the last line that the stream ended without a line feed, if any bytes of it
// were received. A line that lies whole in one chunk is handed over from
// there; the buffer of an unfinished line holds it once and is reused from
// line to line, within kKeptCapacity.
class LineSplitter {
public:
    template <class OnLine>
    void feed(const char* data, std::size_t size, OnLine&& on_line) {
        const char* p = data;
        const char* const end = data + size;
        while (const void* found = size ? std::memchr(p, '\n', static_cast<std::size_t>(end - p))
                                        : nullptr) {
            const char* const feed_at = static_cast<const char*>(found);
            if (partial_.empty()) {
                // The whole line lies in this chunk: hand it over from there.
                on_line(std::string_view(p, static_cast<std::size_t>(feed_at - p)));
            } else {
                partial_.append(p, feed_at);
                on_line(partial_.view());
                partial_.clear_for_reuse();
            }
            p = feed_at + 1;
        }
        partial_.append(p, end);
    }

    template <class OnLine>
    void finish(OnLine&& on_line) {
        if (partial_.empty()) return;
        on_line(partial_.view());
        partial_.clear_for_reuse();
    }

    // Bytes of the current, not yet complete line.
    std::size_t pending() const { return partial_.size(); }

    // Those bytes, until the next feed() or finish().
    std::string_view unfinished() const { return partial_.view(); }

private:
    GrowingBytes partial_;
};

}  // namespace sonvex::core
