// The processor's identification registers read by the tests themselves, with the instruction
// written out, so that the library's signature and its digest are compared with something they
// did not produce.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace cpuid_by_hand {

struct Registers {
    uint32_t eax, ebx, ecx, edx;
};

inline Registers read(uint32_t leaf)
{
    Registers r{};
    __asm__ volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(0));
    return r;
}

// The vendor text as the processor's makers define it: EBX, EDX, ECX of leaf 0.
inline std::string vendor()
{
    const Registers r = read(0);
    std::string text;
    for (uint32_t word : {r.ebx, r.edx, r.ecx})
        for (int i = 0; i < 4; ++i) text.push_back(static_cast<char>((word >> (8 * i)) & 0xFF));
    return text;
}

// The 44 bytes the identifier digests: leaf 0 EAX EBX ECX EDX, leaf 1 EAX ECX EDX (never EBX),
// leaf 3 EAX EBX ECX EDX, each register least significant byte first.
inline std::array<uint8_t, 44> signature()
{
    std::array<uint8_t, 44> bytes{};
    std::size_t at = 0;
    auto put = [&](uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at++] = static_cast<uint8_t>(value >> (8 * i));
    };
    const Registers leaf0 = read(0), leaf1 = read(1), leaf3 = read(3);
    for (uint32_t value : {leaf0.eax, leaf0.ebx, leaf0.ecx, leaf0.edx, leaf1.eax, leaf1.ecx, leaf1.edx, leaf3.eax,
                           leaf3.ebx, leaf3.ecx, leaf3.edx})
        put(value);
    return bytes;
}

}  // namespace cpuid_by_hand
