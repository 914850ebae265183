#include "inventory/md5.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// T[i] = floor(2^32 * |sin(i + 1)|)
constexpr uint32_t kSineTable[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
};

constexpr unsigned kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadLittle(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void storeLittle(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void processBlock(uint32_t state[4], const uint8_t block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = loadLittle(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned k;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        uint32_t rotated = rotateLeft(a + f + kSineTable[i] + x[k], kShifts[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5Init(Md5Context& context)
{
    std::memset(&context, 0, sizeof context);
    std::memcpy(context.chainState, kInitialState, sizeof kInitialState);
}

void md5Update(Md5Context& context, const void* data, uint32_t length)
{
    if (length == 0) return;
    const uint8_t* input = static_cast<const uint8_t*>(data);
    uint32_t pending = (context.bitCount[0] >> 3) & 63;

    uint32_t lowBits = context.bitCount[0] + (length << 3);
    if (lowBits < context.bitCount[0]) ++context.bitCount[1];
    context.bitCount[1] += length >> 29;
    context.bitCount[0] = lowBits;

    uint32_t room = 64 - pending;
    uint32_t offset = 0;
    if (length >= room) {
        std::memcpy(context.pendingBlock + pending, input, room);
        processBlock(context.chainState, context.pendingBlock);
        for (offset = room; length - offset >= 64; offset += 64) processBlock(context.chainState, input + offset);
        pending = 0;
    }
    if (length > offset) std::memcpy(context.pendingBlock + pending, input + offset, length - offset);
}

void md5Final(Md5Context& context)
{
    uint8_t lengthBytes[8];
    storeLittle(lengthBytes, context.bitCount[0]);
    storeLittle(lengthBytes + 4, context.bitCount[1]);

    static const uint8_t kPadding[64] = {0x80};
    uint32_t pending = (context.bitCount[0] >> 3) & 63;
    uint32_t padLength = pending < 56 ? 56 - pending : 120 - pending;
    md5Update(context, kPadding, padLength);
    md5Update(context, lengthBytes, 8);

    for (int i = 0; i < 4; ++i) storeLittle(context.digestBytes + 4 * i, context.chainState[i]);
}

std::string md5HexUpper(const void* data, uint32_t length)
{
    Md5Context context;
    md5Init(context);
    md5Update(context, data, length);
    md5Final(context);

    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", context.digestBytes[i]);
    return std::string(text, 32);
}
