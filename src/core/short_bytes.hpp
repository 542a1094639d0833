// Copying and scanning the short byte runs that make up most of a command
// (numbers, keys, short texts) without a call to the C library: a run of up
// to 16 bytes is covered by two possibly overlapping loads of 1, 2, 4 or 8
// bytes. No Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sonvex::core::short_bytes {

inline constexpr std::size_t kMax = 16;

template <class Word>
Word load(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

template <class Word>
void store(char* p, Word w) {
    std::memcpy(p, &w, sizeof w);
}

// Copies n <= kMax bytes; the ranges must not overlap.
inline void copy(char* out, const char* in, std::size_t n) {
    if (n >= 8) {
        const auto head = load<std::uint64_t>(in), tail = load<std::uint64_t>(in + n - 8);
        store(out, head);
        store(out + n - 8, tail);
    } else if (n >= 4) {
        const auto head = load<std::uint32_t>(in), tail = load<std::uint32_t>(in + n - 4);
        store(out, head);
        store(out + n - 4, tail);
    } else if (n >= 2) {
        const auto head = load<std::uint16_t>(in), tail = load<std::uint16_t>(in + n - 2);
        store(out, head);
        store(out + n - 2, tail);
    } else if (n == 1) {
        *out = *in;
    }
}

// Copies any number of bytes: short runs inline, longer ones by memcpy.
inline char* put(char* out, const char* in, std::size_t n) {
    if (n <= kMax)
        copy(out, in, n);
    else
        std::memcpy(out, in, n);
    return out + n;
}

// Words that together hold every one of n <= kMax bytes (some perhaps
// twice), the rest of each word zero: one word for fewer than eight bytes,
// two otherwise (`second` is then zero).
struct Cover {
    std::uint64_t first, second;
};
inline Cover cover(const char* in, std::size_t n) {
    if (n >= 8) return {load<std::uint64_t>(in), load<std::uint64_t>(in + n - 8)};
    if (n >= 4)
        return {load<std::uint32_t>(in) |
                    static_cast<std::uint64_t>(load<std::uint32_t>(in + n - 4)) << 32,
                0};
    if (n == 0) return {0, 0};
    // One to three bytes: the first, the middle and the last.
    const auto b = [&](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(in[i]));
    };
    return {b(0) | b(n / 2) << 8 | b(n - 1) << 16, 0};
}

}  // namespace sonvex::core::short_bytes
