#include "inventory/fingerprint.h"

#include "inventory/md5.h"

#include <cstring>

const char* chassisClassName(uint8_t chassisType)
{
    // Only Notebook and Sub Notebook count as portable; Laptop (09h) and Portable (08h) were never
    // in the list, and changing that would rename those machines.
    return chassisType == 0x0A || chassisType == 0x0E ? "NoteBook" : "Desktop";
}

void fillFingerprintFromTable(const SmbiosTable& table, DeviceFingerprint& fingerprint)
{
    const SmbiosTypeSlot* system = findSmbiosType(table, kSmbiosSystemInfoType);
    if (system != nullptr && system->structureLength != 0) {
        SmbiosSystemInfo info = parseSystemInfo(*system);
        fingerprint.systemManufacturer = std::move(info.manufacturer);
        fingerprint.systemProductName = std::move(info.productName);
        fingerprint.systemSerialNumber = std::move(info.serialNumber);
        fingerprint.systemSkuNumber = std::move(info.skuNumber);
        fingerprint.systemVersion = std::move(info.version);
    }
    const SmbiosTypeSlot* chassis = findSmbiosType(table, kSmbiosChassisType);
    if (chassis != nullptr && chassis->structureLength != 0) {
        SmbiosChassisInfo info = parseChassisInfo(*chassis);
        fingerprint.chassisClass = chassisClassName(info.chassisType);
        fingerprint.chassisManufacturer = std::move(info.manufacturer);
        fingerprint.chassisSerialNumber = std::move(info.serialNumber);
        fingerprint.chassisVersion = std::move(info.version);
        fingerprint.chassisAssetTag = std::move(info.assetTag);
    }
}

std::string fingerprintValuesInDigestOrder(const DeviceFingerprint& f)
{
    // The order is not the table's: it is the order the first release digested them in.
    const std::string* ordered[] = {
        &f.chassisAssetTag,    &f.chassisManufacturer, &f.chassisSerialNumber, &f.chassisClass,
        &f.chassisVersion,     &f.systemManufacturer,  &f.systemProductName,   &f.systemSerialNumber,
        &f.systemSkuNumber,    &f.systemVersion,
    };
    std::string joined;
    for (const std::string* value : ordered) joined.append(value->c_str());  // up to the first zero byte
    return joined;
}

void assembleFingerprintInput(FingerprintInput& input, const uint8_t* mac, const ProcessorSignature& signature,
                              const DeviceFingerprint* values)
{
    std::memset(&input, 0, sizeof input);
    if (mac != nullptr) std::memcpy(input.bytes, mac, kMacAddressBytes);
    std::memcpy(input.bytes + kMacAddressBytes, signature.bytes, kProcessorSignatureBytes);
    if (values != nullptr) {
        const std::string joined = fingerprintValuesInDigestOrder(*values);
        const std::size_t length = joined.size() < kMaxFingerprintValueBytes ? joined.size() : kMaxFingerprintValueBytes;
        std::memcpy(input.bytes + kFingerprintValuesOffset, joined.data(), length);
        input.valueBytes = static_cast<uint32_t>(length);
    }
}

bool digestFingerprintInput(const FingerprintInput& input, char* out)
{
    const uint32_t valueBytes = input.valueBytes < kMaxFingerprintValueBytes ? input.valueBytes
                                                                             : static_cast<uint32_t>(kMaxFingerprintValueBytes);
    const uint32_t digested = static_cast<uint32_t>(kFingerprintValuesOffset) + valueBytes;
    const std::string text = md5HexUpper(input.bytes, digested);
    if (text.size() >= kFingerprintDigestBytes) return false;
    std::memset(out, 0, kFingerprintDigestBytes);
    std::memcpy(out, text.data(), text.size());
    return true;
}
