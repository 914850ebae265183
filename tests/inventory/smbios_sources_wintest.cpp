// The SMBIOS sources and their choice by Windows version, on the real system calls under Wine.
// Wine's firmware table carries type-1 and type-3 structures; its WMI instance of
// MSSMBios_RawSMBiosTables lacks the version properties, so the WMI source fails there; and
// \device\physicalmemory cannot be opened.
#include "inventory/fingerprint.h"
#include "inventory/md5.h"
#include "inventory/adapter_selection.h"
#include "inventory/smbios_sources.h"
#include "report/device_identity.h"
#include "support/wine_version_child_win.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <vector>

namespace {

const char* sourceName(SmbiosSource source)
{
    switch (source) {
    case SmbiosSource::FirmwareTable: return "firmware";
    case SmbiosSource::Wmi: return "wmi";
    case SmbiosSource::PhysicalMemory: return "physical";
    default: return "none";
    }
}

std::string describe(const SmbiosAttempts& attempts)
{
    std::string text;
    for (int i = 0; i < attempts.count; ++i) {
        if (i != 0) text += ",";
        text += sourceName(attempts.tried[i]);
        text += attempts.delivered[i] ? "+" : "-";
    }
    return text;
}

std::string digestWithoutSmbios()
{
    uint8_t mac[6];
    const bool haveMac = selectPhysicalMac(mac);
    FingerprintInput input;
    assembleFingerprintInput(input, haveMac ? mac : nullptr, readProcessorSignature(), nullptr);
    char out[kFingerprintDigestBytes];
    return digestFingerprintInput(input, out) ? out : "";
}

TEST(SmbiosSources, DefaultWineVersionReadsTheWholeFirmwareTableAfterItsHeader)
{
    ASSERT_EQ(getWindowsVersionClass(), 2048) << "Wine's default version is Windows 7";
    ASSERT_EQ(getWindowsVersionClass(), 2048);

    const UINT needed = GetSystemFirmwareTable(0x52534D42, 0, nullptr, 0);
    ASSERT_GT(needed, 8u);
    std::vector<uint8_t> direct(needed);
    ASSERT_EQ(GetSystemFirmwareTable(0x52534D42, 0, direct.data(), needed), needed);

    SmbiosRawTable raw;
    ASSERT_TRUE(readSmbiosFromFirmwareTable(raw));
    EXPECT_EQ(raw.offset, 8u);
    ASSERT_EQ(raw.count, needed - 8);
    EXPECT_EQ(std::memcmp(raw.buffer.get() + 8, direct.data() + 8, raw.count), 0);

    SmbiosTable table;
    requestSmbiosType(table, 1);
    requestSmbiosType(table, 3);
    SmbiosAttempts attempts;
    ASSERT_TRUE(acquireSmbiosTable(table, &attempts));
    EXPECT_EQ(describe(attempts), "firmware+");
    const SmbiosTypeSlot* system = findSmbiosType(table, 1);
    const SmbiosTypeSlot* chassis = findSmbiosType(table, 3);
    ASSERT_NE(system, nullptr);
    ASSERT_NE(chassis, nullptr);
    EXPECT_GE(system->structureLength, 27u);
    EXPECT_GE(chassis->structureLength, 8u);

    // So the identifier on this version carries SMBIOS values: at least the chassis class.
    DeviceFingerprint values;
    ASSERT_TRUE(readSmbiosFingerprint(values));
    EXPECT_FALSE(values.chassisClass.empty());
    const std::string withoutSmbios = digestWithoutSmbios();
    EXPECT_NE(deriveDeviceId(), std::wstring(withoutSmbios.begin(), withoutSmbios.end()));
}

TEST(SmbiosSources, WmiSourceFailsOnWinesIncompleteInstanceWithoutThrowing)
{
    HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(joined));
    SmbiosRawTable raw;
    EXPECT_FALSE(readSmbiosFromWmi(raw));
    EXPECT_EQ(raw.buffer, nullptr);
    CoUninitialize();
}

uint8_t* refuseAllocation(std::size_t) { return nullptr; }

TEST(SmbiosSources, BufferAllocationFailureFailsTheSourceAndTheIdentifierGoesOnWithoutSmbios)
{
    const SmbiosBufferAllocator saved = g_smbiosBufferAllocator;
    g_smbiosBufferAllocator = refuseAllocation;
    SmbiosRawTable raw;
    const bool firmware = readSmbiosFromFirmwareTable(raw);
    SmbiosTable table;
    requestSmbiosType(table, 1);
    const bool acquired = acquireSmbiosTable(table);
    char digest[kFingerprintDigestBytes] = {};
    const bool computed = computeFingerprintDigest(digest);
    g_smbiosBufferAllocator = saved;

    EXPECT_FALSE(firmware);
    EXPECT_EQ(raw.buffer, nullptr);
    EXPECT_FALSE(acquired);
    EXPECT_EQ(findSmbiosType(table, 1)->structureLength, 0u);
    ASSERT_TRUE(computed);
    EXPECT_EQ(std::string(digest), digestWithoutSmbios());
}

// Runs in the child processes below; skipped in an ordinary run.
// What a child reports back: its version class, whether a table came, and which sources it tried.
void noteClassAndAcquisition()
{
    wine_child::note("class", std::to_string(getWindowsVersionClass()));
    SmbiosTable table;
    requestSmbiosType(table, 1);
    SmbiosAttempts attempts;
    wine_child::note("acquired", acquireSmbiosTable(table, &attempts) ? "yes" : "no");
    wine_child::note("sources", describe(attempts));
}

TEST(SmbiosVersionChild, ReportClassAndSources)
{
    if (wine_child::childFindingsPath() == nullptr) GTEST_SKIP() << "runs only as a child of the version tests";
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(&version);
    wine_child::note("version", std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion));
    noteClassAndAcquisition();
}

struct VersionCase {
    const char* wineVersion;
    const char* reported;
    const char* versionClass;
    const char* sources;
};

TEST(SmbiosVersionOverride, ClassFollowsTheReportedVersionAndChoosesTheSource)
{
    const VersionCase cases[] = {
        {"win10", nullptr, "0", "physical-,wmi-"},  // 6.2 or 10.0, depending on the manifest
        {"win81", nullptr, "0", "physical-,wmi-"},
        {"win8", "6.2", "0", "physical-,wmi-"},
        {"win7", "6.1", "2048", "firmware+"},
        {"vista", "6.0", "128", "firmware+"},
        {"win2008", "6.0", "512", "firmware+"},
        {"winxp64", "5.2", "32", "firmware+"},
    };
    for (const VersionCase& c : cases) {
        wine_child::Findings f = wine_child::runTestUnderWineVersion(c.wineVersion, "SmbiosVersionChild.ReportClassAndSources");
        SCOPED_TRACE(c.wineVersion);
        ASSERT_EQ(f.count("error"), 0u) << f["error"];
        EXPECT_EQ(f["exit"], "0");
        if (c.reported != nullptr) {
            EXPECT_EQ(f["version"], c.reported);
        }
        EXPECT_EQ(f["class"], c.versionClass);
        EXPECT_EQ(f["sources"], c.sources);
        EXPECT_EQ(f["acquired"], std::string(c.sources).find('+') != std::string::npos ? "yes" : "no");
    }
}

// A host thread in a single-threaded apartment on a class-0 system: physical memory is refused,
// COM cannot be joined as multithreaded, so WMI is not tried and the identifier has no SMBIOS part.
TEST(SmbiosVersionChild, StartFromSingleThreadedApartment)
{
    if (wine_child::childFindingsPath() == nullptr) GTEST_SKIP() << "runs only as a child of the version tests";
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    noteClassAndAcquisition();
    DeviceIdentity identity;
    initDeviceId(identity);
    wine_child::note("deviceIdAnsi", identity.ansi);
    wine_child::note("withoutSmbios", digestWithoutSmbios());
    // The apartment is still the host's own afterwards.
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    wine_child::note("apartment",
                     SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MAINSTA ? "main-sta" : "other");
    CoUninitialize();
}

// The child's start records its identifier under HKLM when no record is there: the suite runs
// alone, and the record is put back as it was.
TEST(SingleThreadedHostSerial, StartOnClassZeroDerivesWithoutSmbiosValues)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TallyScope\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    ASSERT_NE(key, nullptr);
    DWORD type = 0;
    BYTE saved[512];
    DWORD savedBytes = sizeof saved;
    const bool hadRecord = RegQueryValueExW(key, L"DeviceId", nullptr, &type, saved, &savedBytes) == ERROR_SUCCESS;

    wine_child::Findings f = wine_child::runTestUnderWineVersion("win10", "SmbiosVersionChild.StartFromSingleThreadedApartment");

    if (hadRecord) {
        RegSetValueExW(key, L"DeviceId", 0, type, saved, savedBytes);
    } else {
        RegDeleteValueW(key, L"DeviceId");
    }
    RegCloseKey(key);

    ASSERT_EQ(f.count("error"), 0u) << f["error"];
    EXPECT_EQ(f["exit"], "0");
    EXPECT_EQ(f["class"], "0");
    EXPECT_EQ(f["acquired"], "no");
    EXPECT_EQ(f["sources"], "physical-");  // WMI never tried
    ASSERT_EQ(f["deviceIdAnsi"].size(), 32u);
    EXPECT_EQ(f["deviceIdAnsi"], f["withoutSmbios"]);
    EXPECT_EQ(f["apartment"], "main-sta");
}

}  // namespace
