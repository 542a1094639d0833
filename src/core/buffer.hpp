// Buffers reused from one line or command to the next: a growable byte
// buffer written through a pointer, without the zero-filling of
// std::string::resize, and the rule that one huge line does not keep its
// memory. No Python.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace sonvex::core {

// The most memory a reused buffer keeps from one use to the next; one that
// grew past it for a huge line gives it back after that line.
inline constexpr std::size_t kKeptCapacity = 64 << 10;

// Empties `text` for its next use, within kKeptCapacity.
inline void clear_for_reuse(std::string& text) {
    if (text.capacity() > kKeptCapacity)
        std::string().swap(text);
    else
        text.clear();
}

class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    // At least `size` writable bytes; what the buffer held is not kept.
    char* reserve(std::size_t size) {
        if (size > capacity_) grow(size);
        return data_;
    }

    // Gives the memory back if the buffer grew past `keep` bytes, so that one
    // huge line does not stay allocated for good.
    void release_beyond(std::size_t keep) {
        if (capacity_ > keep) {
            std::free(std::exchange(data_, nullptr));
            capacity_ = 0;
        }
    }

    std::size_t capacity() const { return capacity_; }

private:
    void grow(std::size_t size) {
        std::size_t capacity = capacity_ ? capacity_ : 256;
        while (capacity < size) capacity = capacity * 2 > capacity ? capacity * 2 : size;
        char* data = static_cast<char*>(std::malloc(capacity));
        if (!data) throw std::bad_alloc();
        std::free(data_);
        data_ = data;
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace sonvex::core
