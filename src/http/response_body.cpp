#include "http/response_body.h"

#include <cstring>
#include <new>

bool ResponseBody::restart()
{
    data_.reset();
    size_ = 0;
    capacity_ = 0;
    data_.reset(new (std::nothrow) char[kInitialCapacity]());
    if (!data_) return false;
    capacity_ = kInitialCapacity;
    return true;
}

char* ResponseBody::freeSpace(uint32_t& count)
{
    count = 0;
    if (!data_ || room() == 0) return nullptr;
    if (capacity_ - size_ <= 1) {
        // capacity_ <= 2 * kMaxBytes here, far below the 32-bit limit.
        const uint32_t grown = capacity_ * 2;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[grown]());
        if (!larger) return nullptr;
        std::memcpy(larger.get(), data_.get(), size_);
        data_ = std::move(larger);
        capacity_ = grown;
    }
    const uint32_t free = capacity_ - size_ - 1;
    count = free < room() ? free : room();
    return data_.get() + size_;
}

bool ResponseBody::commit(uint32_t count)
{
    if (!data_ || count > room() || count >= capacity_ - size_) return false;
    size_ += count;
    data_[size_] = '\0';
    return true;
}

ResponseBody::Append ResponseBody::append(const char* bytes, uint32_t count)
{
    if (!data_) return Append::NoMemory;
    Append outcome = Append::Stored;
    if (count > room()) {
        count = room();
        outcome = Append::Full;
    }
    if (count == 0) return outcome;

    // size_ + count <= kMaxBytes, far below the 32-bit limit, so neither sum nor doubling wraps.
    uint32_t needed = size_ + count + 1;
    if (needed > capacity_) {
        uint32_t grown = capacity_;
        while (grown < needed) grown *= 2;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[grown]());
        if (!larger) return Append::NoMemory;
        std::memcpy(larger.get(), data_.get(), size_);
        data_ = std::move(larger);
        capacity_ = grown;
    }
    std::memcpy(data_.get() + size_, bytes, count);
    size_ += count;
    return outcome;
}
