#include "inventory/processor_signature.h"

#include <cpuid.h>

namespace {

void storeRegister(uint8_t* at, unsigned int value)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

ProcessorSignature readProcessorSignature()
{
    ProcessorSignature signature{};
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;

    // Leaf 3 is read whatever leaf 0 reports as the highest leaf: processors without it answer
    // with zeros or with the data of their highest basic leaf, and those bytes have always been
    // part of the identifier.
    __cpuid_count(0, 0, eax, ebx, ecx, edx);
    storeRegister(signature.bytes + 0, eax);
    storeRegister(signature.bytes + 4, ebx);
    storeRegister(signature.bytes + 8, ecx);
    storeRegister(signature.bytes + 12, edx);

    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    storeRegister(signature.bytes + 16, eax);
    storeRegister(signature.bytes + 20, ecx);
    storeRegister(signature.bytes + 24, edx);

    __cpuid_count(3, 0, eax, ebx, ecx, edx);
    storeRegister(signature.bytes + 28, eax);
    storeRegister(signature.bytes + 32, ebx);
    storeRegister(signature.bytes + 36, ecx);
    storeRegister(signature.bytes + 40, edx);
    return signature;
}
