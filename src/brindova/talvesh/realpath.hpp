// `os.path.realpath(text)` when not strict, on the bytes the file system
// sees: the same `getcwd`, `lstat` and `readlink` calls in the same order,
// every failure handled as that function handles it, loops detected the
// same way. It touches no Python object, and allocates from the raw domain.
#pragma once

#include "common/ref.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace brindova::talvesh {

// A growable array of trivially copyable items on the raw allocator. Every
// growth can fail: false, with the content as it was.
template <typename T>
class Array {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { PyMem_RawFree(data_); }

    bool append(const T* items, std::size_t n)
    {
        if (n > capacity_ - size_ && !reserve(size_ + n)) return false;
        std::copy_n(items, n, data_ + size_);
        size_ += n;
        return true;
    }
    bool push(const T& item) { return append(&item, 1); }
    // `n` more items, left as the memory holds them.
    bool extend(std::size_t n)
    {
        if (n > capacity_ - size_ && !reserve(size_ + n)) return false;
        size_ += n;
        return true;
    }
    void swap(Array& other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    void resize_down(std::size_t n) { size_ = n; }
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& back() { return data_[size_ - 1]; }
    T& operator[](std::size_t i) { return data_[i]; }

private:
    bool reserve(std::size_t total)
    {
        std::size_t want = std::max<std::size_t>(capacity_, 64);
        while (want < total) want *= 2;
        auto* grown = static_cast<T*>(PyMem_RawRealloc(data_, want * sizeof(T)));
        if (!grown) return false;
        data_ = grown;
        capacity_ = want;
        return true;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

using Bytes = Array<char>;

inline std::string_view view(const Bytes& b)
{
    return {b.data(), b.size()};
}

enum class Walk : bool { done,
                         retreat };

// `text` holds no NUL. `retreat` (with `path` unspecified) where the ordinary
// function would raise, or would run Python code while handling a failure:
// a working directory that cannot be had, a call interrupted by a signal
// (the failure's exception runs the signal handlers), memory run out. The
// ordinary function is then the one to run.
Walk realpath(std::string_view text, Bytes& path) noexcept;

}  // namespace brindova::talvesh
