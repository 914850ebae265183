// The hardware fingerprint behind the device identifier: which bytes are digested, in which order.
// The statistics server keys every machine on the resulting identifier, so nothing here may change
// the bytes: not the value order, not the unmasked chassis byte, not the 50 + L digested bytes.
#pragma once

#include "common/limits.h"
#include "inventory/processor_signature.h"
#include "inventory/smbios.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kFingerprintInputBytes = 1024;
constexpr std::size_t kFingerprintValuesOffset = kMacAddressBytes + kProcessorSignatureBytes;        // 50
constexpr std::size_t kMaxFingerprintValueBytes = kFingerprintInputBytes - kFingerprintValuesOffset;  // 974
constexpr std::size_t kFingerprintDigestBytes = 64;  // the caller's buffer for the identifier text

// The ten SMBIOS values, empty until filled.
struct DeviceFingerprint {
    std::string systemManufacturer;
    std::string systemProductName;
    std::string systemVersion;
    std::string systemSerialNumber;
    std::string systemSkuNumber;
    std::string chassisClass;
    std::string chassisManufacturer;
    std::string chassisVersion;
    std::string chassisSerialNumber;
    std::string chassisAssetTag;
};

// Bytes 0-5 MAC, 6-49 processor signature, 50.. the values; only the first 50 + valueBytes count.
struct FingerprintInput {
    uint8_t bytes[kFingerprintInputBytes];
    uint32_t valueBytes;  // L
};

// "NoteBook" for chassis types 0Ah and 0Eh, "Desktop" for every other byte (8Ah included: the lock
// bit is not masked).
const char* chassisClassName(uint8_t chassisType);

// Fills the values from the first type-1 and first type-3 structure of an acquired table.
void fillFingerprintFromTable(const SmbiosTable& table, DeviceFingerprint& fingerprint);

// The ten values in digest order, each up to its first zero byte, with nothing between them.
std::string fingerprintValuesInDigestOrder(const DeviceFingerprint& fingerprint);

// Zeroes the block and lays out its parts. mac is null when no adapter qualified; values is null
// when no SMBIOS table was obtained. Values beyond 974 bytes are cut there, never written past the
// block.
void assembleFingerprintInput(FingerprintInput& input, const uint8_t* mac, const ProcessorSignature& signature,
                              const DeviceFingerprint* values);

// MD5 of the first 50 + L bytes as 32 upper-case digits into out (kFingerprintDigestBytes, zero
// after the text). False, with out untouched, if the text would not fit.
bool digestFingerprintInput(const FingerprintInput& input, char* out);

// Gathers the MAC address, the processor signature and the SMBIOS values of this machine and
// digests them (platform side).
bool readSmbiosFingerprint(DeviceFingerprint& fingerprint);
bool computeFingerprintDigest(char* out);
// The identifier as UTF-16: 32 digits, or "Unknown PCID".
std::wstring deriveDeviceId();
