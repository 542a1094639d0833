// Buffers reused from one line or command to the next: a growable byte
// buffer written through a pointer, without the zero-filling of
// std::string::resize, and the rule that one huge line does not keep its
// memory. No Python.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
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

// Bytes appended piece by piece, such as a line that arrives in parts. It
// takes pages of its own (mmap) rather than the allocator's: a reader thread
// that receives lines in parts then takes no memory arena of its own (glibc
// reserves 64 MiB of address space for each), and a huge line grows by
// remapping its pages instead of copying them, so that it is held about
// once.
class GrowingBytes {
public:
    GrowingBytes() = default;
    GrowingBytes(const GrowingBytes&) = delete;
    GrowingBytes& operator=(const GrowingBytes&) = delete;
    ~GrowingBytes() { unmap(); }

    void append(const char* begin, const char* end) {
        const auto n = static_cast<std::size_t>(end - begin);
        if (n == 0) return;
        if (n > capacity_ - size_) grow(size_ + n);
        std::memcpy(data_ + size_, begin, n);
        size_ += n;
    }

    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Empties it for its next use, within kKeptCapacity.
    void clear_for_reuse() {
        size_ = 0;
        if (capacity_ > kKeptCapacity) unmap();
    }

private:
    static constexpr std::size_t kFirst = 16 << 10;  // a multiple of the page size

    void grow(std::size_t size) {
        std::size_t capacity = capacity_ ? capacity_ : kFirst;
        while (capacity < size) capacity = capacity * 2 > capacity ? capacity * 2 : size;
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        capacity = (capacity + page - 1) / page * page;
        if (capacity < size) throw std::bad_alloc();  // rounding overflowed
        void* data = data_ ? ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE)
                           : ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(data);
        capacity_ = capacity;
    }

    void unmap() {
        if (data_) ::munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace sonvex::core
