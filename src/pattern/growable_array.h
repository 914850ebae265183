// The growable array behind the compiled program and the matcher's backtrack stack.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// Capacity grows by max(requested count, capacity + step), the step being an eighth of the current
// count kept between 4 and 1024, so that emitting one instruction at a time stays amortised without
// doubling large programs. Shrinking only lowers the count: capacity and old contents stay, which
// the compiler relies on when it removes code and emits over it again. Allocation failure is
// reported, never thrown: the callers turn it into an error code or a failed match.
template <typename T>
class GrowableArray {
    static_assert(std::is_trivially_copyable<T>::value, "cells are moved with realloc");

public:
    GrowableArray() = default;
    ~GrowableArray() { std::free(cells_); }
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;

    std::size_t count() const { return count_; }
    std::size_t capacity() const { return capacity_; }
    T* data() { return cells_; }
    const T* data() const { return cells_; }
    T& operator[](std::size_t i) { return cells_[i]; }
    const T& operator[](std::size_t i) const { return cells_[i]; }

    bool setCount(std::size_t newCount)
    {
        if (newCount <= capacity_) {
            count_ = newCount;
            return true;
        }
        std::size_t step = std::min<std::size_t>(std::max<std::size_t>(count_ / 8, 4), 1024);
        std::size_t newCapacity = std::max(newCount, capacity_ + step);
        if (newCapacity > SIZE_MAX / sizeof(T)) return false;
        auto* grown = static_cast<T*>(std::realloc(cells_, newCapacity * sizeof(T)));
        if (grown == nullptr) return false;
        std::memset(static_cast<void*>(grown + capacity_), 0, (newCapacity - capacity_) * sizeof(T));
        cells_ = grown;
        capacity_ = newCapacity;
        count_ = newCount;
        return true;
    }

    // Frees the storage; the next setCount starts from zero-filled cells.
    void clear()
    {
        std::free(cells_);
        cells_ = nullptr;
        count_ = 0;
        capacity_ = 0;
    }

private:
    T* cells_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};
