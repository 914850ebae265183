#include "inventory/fingerprint.h"

#include "inventory/adapter_selection.h"
#include "inventory/smbios_sources.h"

#include <windows.h>

#include <new>

bool readSmbiosFingerprint(DeviceFingerprint& fingerprint)
{
    SmbiosTable table;
    requestSmbiosType(table, kSmbiosSystemInfoType);
    requestSmbiosType(table, kSmbiosChassisType);
    if (!acquireSmbiosTable(table)) return false;
    fillFingerprintFromTable(table, fingerprint);
    return true;
}

bool computeFingerprintDigest(char* out)
{
    uint8_t mac[kMacAddressBytes] = {};
    const bool haveMac = selectPhysicalMac(mac);
    const ProcessorSignature signature = readProcessorSignature();

    FingerprintInput input;
    try {
        DeviceFingerprint values;
        const bool haveTable = readSmbiosFingerprint(values);
        assembleFingerprintInput(input, haveMac ? mac : nullptr, signature, haveTable ? &values : nullptr);
    } catch (const std::bad_alloc&) {
        // Out of memory while holding the SMBIOS values: go on as if no table had been obtained.
        assembleFingerprintInput(input, haveMac ? mac : nullptr, signature, nullptr);
    }
    return digestFingerprintInput(input, out);
}

std::wstring deriveDeviceId()
{
    char text[kFingerprintDigestBytes] = {};
    if (computeFingerprintDigest(text)) {
        const int length = lstrlenA(text);
        wchar_t wide[kFingerprintDigestBytes] = {};
        if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, wide, length + 1) > 0) return std::wstring(wide, length);
    }
    return L"Unknown PCID";
}
