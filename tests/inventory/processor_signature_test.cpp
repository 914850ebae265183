#include "inventory/processor_signature.h"

#include "support/cpuid_by_hand.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProcessorSignature, HoldsTheRegistersInTheirDigestedOrderWithLeafOnesEbxLeftOut)
{
    const ProcessorSignature signature = readProcessorSignature();
    const auto expected = cpuid_by_hand::signature();
    for (std::size_t i = 0; i < kProcessorSignatureBytes; ++i)
        EXPECT_EQ(signature.bytes[i], expected[i]) << "byte " << i;

    // The vendor text sits in leaf 0's EBX (bytes 4-7), EDX (12-15) and ECX (8-11): read back in
    // that order it must be a maker's name, which it is not if two of the registers trade places.
    std::string vendor;
    for (int at : {4, 12, 8}) vendor.append(reinterpret_cast<const char*>(signature.bytes) + at, 4);
    EXPECT_EQ(vendor, cpuid_by_hand::vendor());
    const char* makers[] = {"GenuineIntel", "AuthenticAMD", "HygonGenuine", "CentaurHauls", "  Shanghai  "};
    bool known = false;
    for (const char* maker : makers) known = known || vendor == maker;
    EXPECT_TRUE(known) << vendor;
}

}  // namespace
