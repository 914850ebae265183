// The processor's identification registers as the device identifier and the processor identifier
// digest them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kProcessorSignatureBytes = 44;

// CPUID with ECX = 0 for every leaf, each register least significant byte first:
//   0..15  leaf 0: EAX, EBX, ECX, EDX
//   16..19 leaf 1: EAX
//   20..27 leaf 1: ECX, EDX (EBX carries the APIC id and the logical processor count, which vary
//          from core to core and from boot to boot, so it is left out)
//   28..43 leaf 3: EAX, EBX, ECX, EDX
struct ProcessorSignature {
    uint8_t bytes[kProcessorSignatureBytes];
};

ProcessorSignature readProcessorSignature();
