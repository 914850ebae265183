// The bytes of one HTTP answer as they arrive, kept with a zero byte behind them so that the
// decoder can hand the buffer to a converter that counts up to and including a terminator.
#pragma once

#include <cstdint>
#include <memory>

class ResponseBody {
public:
    static constexpr uint32_t kInitialCapacity = 10240;
    // A collection script answers with a line or two; anything past this is dropped unread so a
    // broken or hostile server cannot grow the host's memory without limit.
    static constexpr uint32_t kMaxBytes = 1u << 20;

    enum class Append {
        Stored,    // every byte was kept
        Full,      // the bound was reached: the bytes that fitted were kept, the rest dropped
        NoMemory,  // the buffer could not grow: nothing of this piece was kept
    };

    // Drops what was held and starts again with kInitialCapacity zero bytes. False if that
    // allocation fails; the body is then empty and holds no buffer.
    bool restart();
    // Appends count bytes, doubling the capacity as often as needed to leave a zero byte behind.
    Append append(const char* bytes, uint32_t count);
    // Free space at the end for a reader that writes in place: grows the buffer (doubling) when no
    // byte is free, and returns where the next bytes go, with count set to how many may be written
    // there (at least one, never past the bound, always leaving the zero byte behind). Null when
    // the bound is reached (count 0) or the buffer cannot grow.
    char* freeSpace(uint32_t& count);
    // Takes count bytes written at freeSpace as part of the body. False, and nothing taken, when
    // count is more than freeSpace offered.
    bool commit(uint32_t count);
    // How many more bytes the bound lets in.
    uint32_t room() const { return kMaxBytes - size_; }

    bool allocated() const { return data_ != nullptr; }
    const char* data() const { return data_.get(); }
    uint32_t size() const { return size_; }
    uint32_t capacity() const { return capacity_; }

private:
    std::unique_ptr<char[]> data_;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};
