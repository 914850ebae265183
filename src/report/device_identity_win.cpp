#include "report/device_identity.h"

#include "inventory/fingerprint.h"
#include "report/ansi_text.h"
#include "common/field_copy.h"
#include "win_handles.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr wchar_t kDeviceIdKey[] = L"SOFTWARE\\TallyScope\\";
constexpr wchar_t kDeviceIdValue[] = L"DeviceId";
// 32 digits and one NUL in UTF-16: a value that reads into this is taken to be a record written
// by an earlier start, whatever it holds.
constexpr DWORD kRecordedIdBytes = 66;

}  // namespace

bool deviceIdPresent()
{
    win::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceIdKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    BYTE data[kRecordedIdBytes];
    DWORD bytes = sizeof data;
    return RegQueryValueExW(key.get(), kDeviceIdValue, nullptr, nullptr, data, &bytes) == ERROR_SUCCESS;
}

int storeDeviceId(const wchar_t* identifier)
{
    if (identifier == nullptr) return -1;
    win::UniqueHKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeviceIdKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return -1;
    }
    // One terminating NUL, not the two that close a list of strings: the record has always been
    // written this way, and readers of it take the first string.
    const DWORD bytes = static_cast<DWORD>((lstrlenW(identifier) + 1) * sizeof(wchar_t));
    LONG status = RegSetValueExW(key.get(), kDeviceIdValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(identifier),
                                 bytes);
    return status == ERROR_SUCCESS ? 0 : -1;
}

void initDeviceId(DeviceIdentity& identity)
{
    std::memset(identity.wide, 0, sizeof identity.wide);
    std::memset(identity.ansi, 0, sizeof identity.ansi);
    try {
        const std::wstring identifier = deriveDeviceId();
        copyToField(identity.wide, kDeviceIdWideUnits, identifier.c_str());
    } catch (...) {
        // Out of memory while deriving: the reports go out without an identifier this time, and
        // nothing is recorded.
        return;
    }
    toAnsi(identity.wide, identity.ansi, kDeviceIdAnsiBytes);
    if (!deviceIdPresent()) storeDeviceId(identity.wide);
}
