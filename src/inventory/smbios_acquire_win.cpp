#include "inventory/smbios_sources.h"

#include "inventory/wmi_lock.h"
#include "win_handles.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstring>
#include <new>

namespace {

// Written without a lock by whichever thread asks first; every writer stores the same value.
std::atomic<uint16_t> cachedVersionClass{0};

constexpr DWORD kRsmbProvider = 0x52534D42;  // 'RSMB'

// The legacy BIOS area, where the table of pre-firmware-table systems lies.
constexpr LONGLONG kBiosAreaAddress = 0xF0000;
constexpr SIZE_T kBiosAreaBytes = 0xFFFF;

using GetSystemFirmwareTableFn = UINT(WINAPI*)(DWORD, DWORD, PVOID, DWORD);
using ZwOpenSectionFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using ZwMapViewOfSectionFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID*, ULONG_PTR, SIZE_T, PLARGE_INTEGER, PSIZE_T,
                                              DWORD, ULONG, ULONG);
using ZwUnmapViewOfSectionFn = NTSTATUS(NTAPI*)(HANDLE, PVOID);
using ZwCloseFn = NTSTATUS(NTAPI*)(HANDLE);

// The section and its view are given back through the native functions that opened them, which
// are looked up at run time: the owners carry them.
struct NtSectionTraits : win::NullIsEmpty<HANDLE> {
    ZwCloseFn closeSection = nullptr;
    void close(HANDLE section) const { closeSection(section); }
};
struct SectionViewTraits : win::NullIsEmpty<PVOID> {
    ZwUnmapViewOfSectionFn unmapView = nullptr;
    void close(PVOID view) const { unmapView(GetCurrentProcess(), view); }
};

// GetProcAddress hands out a generic function pointer; going through void* says that the real type
// is known here.
template <typename Fn>
Fn lookUp(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

GetSystemFirmwareTableFn findGetSystemFirmwareTable()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return nullptr;
    return lookUp<GetSystemFirmwareTableFn>(kernel, "GetSystemFirmwareTable");
}

bool readWmiInFreshMta(SmbiosRawTable& raw, SmbiosAttempts& tried)
{
    // A thread that already belongs to a single-threaded apartment refuses this, and then the
    // table is not read at all: identifiers of such hosts have always been derived without SMBIOS
    // values, so no helper thread may step in here.
    const WmiTurn turn = takeWmiTurn();
    win::ComScope com(COINIT_MULTITHREADED);
    if (!com.ok()) return false;
    const bool delivered = readSmbiosFromWmi(raw, turn);
    tried.note(SmbiosSource::Wmi, delivered);
    return delivered;
}

}  // namespace

uint16_t getWindowsVersionClass()
{
    uint16_t cached = cachedVersionClass.load(std::memory_order_relaxed);
    if (cached != 0) return cached;

    OSVERSIONINFOEXW version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return 0;

    uint16_t versionClass = windowsVersionClassFor(version.dwMajorVersion, version.dwMinorVersion, version.wProductType);
    if (versionClass != 0) cachedVersionClass.store(versionClass, std::memory_order_relaxed);
    return versionClass;
}

bool readSmbiosFromFirmwareTable(SmbiosRawTable& raw)
{
    GetSystemFirmwareTableFn getTable = findGetSystemFirmwareTable();
    if (getTable == nullptr) return false;

    const UINT needed = getTable(kRsmbProvider, 0, nullptr, 0);
    if (needed == 0) return false;
    std::unique_ptr<uint8_t[]> buffer(g_smbiosBufferAllocator(needed));
    if (!buffer) return false;

    const UINT delivered = getTable(kRsmbProvider, 0, buffer.get(), needed);
    return adoptFirmwareTable(raw, std::move(buffer), needed, delivered);
}

bool readSmbiosFromPhysicalMemory(SmbiosRawTable& raw)
{
    win::ModuleReference ntdll = win::loadLibrary("ntdll.dll");
    if (!ntdll) return false;
    auto openSection = lookUp<ZwOpenSectionFn>(ntdll.get(), "ZwOpenSection");
    auto mapView = lookUp<ZwMapViewOfSectionFn>(ntdll.get(), "ZwMapViewOfSection");
    auto unmapView = lookUp<ZwUnmapViewOfSectionFn>(ntdll.get(), "ZwUnmapViewOfSection");
    auto closeHandle = lookUp<ZwCloseFn>(ntdll.get(), "ZwClose");
    if (openSection == nullptr || mapView == nullptr || unmapView == nullptr || closeHandle == nullptr) return false;

    wchar_t name[] = L"\\device\\physicalmemory";
    UNICODE_STRING objectName;
    objectName.Length = static_cast<USHORT>((sizeof name / sizeof(wchar_t) - 1) * sizeof(wchar_t));  // 44
    objectName.MaximumLength = static_cast<USHORT>(sizeof name);                                      // 46
    objectName.Buffer = name;
    OBJECT_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;

    HANDLE openedSection = nullptr;
    if (openSection(&openedSection, SECTION_MAP_READ, &attributes) < 0) return false;
    win::Unique<NtSectionTraits> section(openedSection, NtSectionTraits{{}, closeHandle});

    PVOID mappedView = nullptr;
    LARGE_INTEGER sectionOffset;
    sectionOffset.QuadPart = kBiosAreaAddress;
    SIZE_T viewBytes = kBiosAreaBytes;
    const DWORD kViewShare = 1;
    if (mapView(section.get(), GetCurrentProcess(), &mappedView, 0, kBiosAreaBytes, &sectionOffset, &viewBytes,
                kViewShare, 0, PAGE_READONLY) < 0) {
        return false;
    }
    win::Unique<SectionViewTraits> view(mappedView, SectionViewTraits{{}, unmapView});

    // The system rounds the view up to whole pages and reports the size it mapped.
    bool copied = false;
    if (view && viewBytes != 0 && viewBytes <= UINT32_MAX) {
        std::unique_ptr<uint8_t[]> buffer(g_smbiosBufferAllocator(viewBytes));
        if (buffer) {
            std::memcpy(buffer.get(), view.get(), viewBytes);
            raw.buffer = std::move(buffer);
            raw.offset = 0;
            raw.count = static_cast<uint32_t>(viewBytes);
            copied = true;
        }
    }
    return copied;
}

bool acquireSmbiosTable(SmbiosTable& table, SmbiosAttempts* attempts)
{
    SmbiosAttempts ignored;
    SmbiosAttempts& tried = attempts != nullptr ? *attempts : ignored;

    SmbiosRawTable raw;
    bool delivered = false;
    if (getWindowsVersionClass() <= 4) {
        delivered = readSmbiosFromPhysicalMemory(raw);
        tried.note(SmbiosSource::PhysicalMemory, delivered);
        if (!delivered) delivered = readWmiInFreshMta(raw, tried);
    } else if (findGetSystemFirmwareTable() != nullptr) {
        // No fallback: a system with the firmware-table function that returns nothing has no table
        // to offer through WMI either.
        delivered = readSmbiosFromFirmwareTable(raw);
        tried.note(SmbiosSource::FirmwareTable, delivered);
    } else {
        delivered = readWmiInFreshMta(raw, tried);
    }
    if (!delivered) return false;

    try {
        splitSmbiosStructures(table, raw.buffer.get() + raw.offset, raw.count);
    } catch (const std::bad_alloc&) {
        releaseSmbiosTable(table);
        return false;
    }
    return true;
}
