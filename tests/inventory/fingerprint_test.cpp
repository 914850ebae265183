#include "inventory/fingerprint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// Every expected digest below was computed outside this code with Python's hashlib:
//   sig = bytes(range(44)); mac = bytes.fromhex("0a1b2c3d4e5f")
//   hashlib.md5(<mac or six zero bytes> + sig + <values>).hexdigest().upper()
namespace {

const uint8_t kMac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};

ProcessorSignature countingSignature()
{
    ProcessorSignature signature;
    for (int i = 0; i < 44; ++i) signature.bytes[i] = static_cast<uint8_t>(i);
    return signature;
}

std::string digestOf(const uint8_t* mac, const DeviceFingerprint* values, FingerprintInput* keep = nullptr)
{
    FingerprintInput input;
    assembleFingerprintInput(input, mac, countingSignature(), values);
    char out[kFingerprintDigestBytes];
    std::memset(out, 0x55, sizeof out);
    if (!digestFingerprintInput(input, out)) return "<failed>";
    for (size_t i = std::strlen(out); i < sizeof out; ++i) EXPECT_EQ(out[i], 0) << "byte " << i;
    if (keep != nullptr) *keep = input;
    return out;
}

DeviceFingerprint distinctValues()
{
    DeviceFingerprint f;
    f.systemManufacturer = "SysMaker";
    f.systemProductName = "Product";
    f.systemVersion = "1.0";
    f.systemSerialNumber = "SYS123";
    f.systemSkuNumber = "SKU9";
    f.chassisClass = "NoteBook";
    f.chassisManufacturer = "CaseMaker";
    f.chassisVersion = "C1";
    f.chassisSerialNumber = "CH456";
    f.chassisAssetTag = "Asset7";
    return f;
}

TEST(Fingerprint, WithoutAdapterOrTableOnlySixZerosAndTheSignatureAreDigested)
{
    // hashlib.md5(b"\0" * 6 + sig)
    EXPECT_EQ(digestOf(nullptr, nullptr), "24971CDC5B11AE8418C2C1E81A3D638B");
}

TEST(Fingerprint, ValuesAreDigestedInDigestOrderNotTableOrder)
{
    const DeviceFingerprint values = distinctValues();
    FingerprintInput input;
    // values in digest order: b"Asset7CaseMakerCH456NoteBookC1SysMakerProductSYS123SKU91.0"
    EXPECT_EQ(digestOf(kMac, &values, &input), "473A6225E477C7EB557A1B00DC3E27C9");
    EXPECT_EQ(input.valueBytes, 58u);  // 50 + 58 bytes digested, the zeros after them are not
    EXPECT_EQ(fingerprintValuesInDigestOrder(values), "Asset7CaseMakerCH456NoteBookC1SysMakerProductSYS123SKU91.0");
    // The same values in the order of the SMBIOS structures would give E8BFC91E207A71AE17753E43EAC10315.
    EXPECT_NE(digestOf(kMac, &values), "E8BFC91E207A71AE17753E43EAC10315");
}

TEST(Fingerprint, EachValueContributesOnlyUpToItsFirstZeroByte)
{
    DeviceFingerprint values;
    values.chassisAssetTag = std::string("abc\0def", 7);
    values.chassisClass = "Desktop";
    // hashlib.md5(mac + sig + b"abc" + b"Desktop")
    EXPECT_EQ(digestOf(kMac, &values), "FA0ECE8B32EEDC807CA7DF47A2162558");
}

TEST(Fingerprint, ConcatenationLongerThanTheBlockIsCutAt974Bytes)
{
    DeviceFingerprint longer;
    longer.systemManufacturer = std::string(600, 'x');
    longer.systemVersion = std::string(400, 'x');
    FingerprintInput input;
    // hashlib.md5(mac + sig + b"x" * 974)
    EXPECT_EQ(digestOf(kMac, &longer, &input), "41165AA28E1F6BBEEF30DB9C15BC88FF");
    EXPECT_EQ(input.valueBytes, 974u);

    DeviceFingerprint exact;
    exact.chassisAssetTag = std::string(974, 'y');
    // hashlib.md5(mac + sig + b"y" * 974)
    EXPECT_EQ(digestOf(kMac, &exact, &input), "6498855DF5F90F28581A7BB8B65590C6");
    EXPECT_EQ(input.valueBytes, 974u);
}

TEST(Fingerprint, EmptyValuesFromATableDigestLikeNoTable)
{
    DeviceFingerprint empty;
    EXPECT_EQ(digestOf(nullptr, &empty), "24971CDC5B11AE8418C2C1E81A3D638B");
}

TEST(Fingerprint, BlockLayoutPutsMacSignatureAndValuesAtTheirOffsets)
{
    DeviceFingerprint values;
    values.systemVersion = "V";
    FingerprintInput input;
    assembleFingerprintInput(input, kMac, countingSignature(), &values);
    EXPECT_EQ(std::memcmp(input.bytes, kMac, 6), 0);
    for (int i = 0; i < 44; ++i) EXPECT_EQ(input.bytes[6 + i], i);
    EXPECT_EQ(input.bytes[50], 'V');
    for (size_t i = 51; i < kFingerprintInputBytes; ++i) ASSERT_EQ(input.bytes[i], 0) << i;
}

}  // namespace
