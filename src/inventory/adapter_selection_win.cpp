#include "inventory/adapter_selection.h"

#include "win_handles.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

// The device setup class of network adapters; each adapter's connection key names its device.
constexpr wchar_t kNetworkClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
constexpr wchar_t kConnectionSuffix[] = L"\\Connection";
constexpr std::size_t kKeyPathUnits = 256;
constexpr std::size_t kMaxAdapterNameUnits =
    kKeyPathUnits - 1 - (sizeof kNetworkClassKey / sizeof(wchar_t) - 1) - (sizeof kConnectionSuffix / sizeof(wchar_t) - 1);
static_assert(kMaxAdapterNameUnits == 164, "the key path buffer holds a 164-character adapter name");

constexpr DWORD kInstanceIdBytes = 256;

// One IP_ADAPTER_INFO record on 64-bit Windows: the first call asks for room for one adapter.
constexpr ULONG kFirstAdapterBufferBytes = 704;

std::unique_ptr<wchar_t[]> toWide(const char* text)
{
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[units]);
    if (!wide || MultiByteToWideChar(CP_ACP, 0, text, -1, wide.get(), units) <= 0) return nullptr;
    return wide;
}

}  // namespace

bool isPhysicalAdapter(const wchar_t* adapterName)
{
    if (adapterName == nullptr || lstrlenW(adapterName) > static_cast<int>(kMaxAdapterNameUnits)) return false;

    wchar_t keyPath[kKeyPathUnits];
    wsprintfW(keyPath, L"%s%s%s", kNetworkClassKey, adapterName, kConnectionSuffix);

    win::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;

    // One unit more than announced, so that even a value of exactly 256 bytes without terminator
    // leaves the buffer terminated.
    wchar_t instanceId[kInstanceIdBytes / sizeof(wchar_t) + 1] = {};
    DWORD bytes = kInstanceIdBytes;
    LONG status = RegQueryValueExW(key.get(), L"PnpInstanceID", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(instanceId), &bytes);
    key.reset();
    return status == ERROR_SUCCESS && isPciInstanceId(instanceId);
}

bool selectPhysicalMac(uint8_t* out)
{
    ULONG size = kFirstAdapterBufferBytes;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer) return false;

    if (GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size) == ERROR_BUFFER_OVERFLOW) {
        buffer.reset(new (std::nothrow) uint8_t[size]);
        if (!buffer) return false;
    }
    // Asked a second time whatever the first answer was, also after a success; a list that grew in
    // between fails here rather than being read past its buffer.
    if (GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size) != ERROR_SUCCESS) return false;

    AdapterAddressChoice choice;
    for (const IP_ADAPTER_INFO* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get()); adapter != nullptr;
         adapter = adapter->Next) {
        std::unique_ptr<wchar_t[]> name = toWide(adapter->AdapterName);
        if (!isPhysicalAdapter(name.get())) continue;
        choice.offer(adapter->Address);
    }
    return choice.take(out);
}
