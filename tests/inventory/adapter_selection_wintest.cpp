// Physical adapter selection over Wine's real adapter list and the real registry. Wine creates no
// connection keys under the network class key, so every adapter counts as virtual until a test
// writes a "PnpInstanceID" for it.
//
// These tests change what every identifier derived in this Wine prefix meanwhile is made of, so
// the suite runs alone.
#include "inventory/adapter_selection.h"
#include "inventory/fingerprint.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <iphlpapi.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kClassKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

struct Adapter {
    std::wstring name;
    std::array<uint8_t, 6> address;
    bool hasZeroByte() const
    {
        for (uint8_t b : address) {
            if (b == 0) return true;
        }
        return false;
    }
};

std::vector<Adapter> listAdapters()
{
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::vector<uint8_t> buffer(size == 0 ? 1 : size);
    std::vector<Adapter> adapters;
    if (GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size) != ERROR_SUCCESS) return adapters;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a != nullptr; a = a->Next) {
        Adapter adapter;
        adapter.name.assign(a->AdapterName, a->AdapterName + std::strlen(a->AdapterName));
        std::memcpy(adapter.address.data(), a->Address, 6);
        adapters.push_back(adapter);
    }
    return adapters;
}

// Writes PnpInstanceID values under adapters' connection keys and removes every key it created.
class ConnectionKeys {
public:
    ~ConnectionKeys()
    {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) RegDeleteTreeW(HKEY_LOCAL_MACHINE, it->c_str());
    }
    void set(const std::wstring& adapterName, DWORD type, const void* data, DWORD bytes)
    {
        std::wstring path = kClassKey;
        for (const std::wstring& part : {adapterName, std::wstring(L"Connection")}) {
            path += L"\\" + part;
            HKEY key;
            DWORD disposition = 0;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                      &disposition),
                      ERROR_SUCCESS);
            if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
            if (part == L"Connection") {
                EXPECT_EQ(RegSetValueExW(key, L"PnpInstanceID", 0, type, static_cast<const BYTE*>(data), bytes),
                          ERROR_SUCCESS);
            }
            RegCloseKey(key);
        }
    }
    void setText(const std::wstring& adapterName, const std::wstring& instanceId, DWORD type = REG_SZ)
    {
        set(adapterName, type, instanceId.c_str(), static_cast<DWORD>((instanceId.size() + 1) * sizeof(wchar_t)));
    }

private:
    std::vector<std::wstring> created_;
};

const std::wstring kPciInstance = L"PCI\\VEN_8086&DEV_100E&SUBSYS_001E8086&REV_02\\3&267A616A&0&18";

std::string digestWith(const uint8_t* mac)
{
    DeviceFingerprint values;
    const bool haveTable = readSmbiosFingerprint(values);
    FingerprintInput input;
    assembleFingerprintInput(input, mac, readProcessorSignature(), haveTable ? &values : nullptr);
    char out[kFingerprintDigestBytes];
    return digestFingerprintInput(input, out) ? out : "";
}

std::string computed()
{
    char out[kFingerprintDigestBytes];
    return computeFingerprintDigest(out) ? out : "";
}

TEST(PhysicalAdapterSerial, PciInstanceIdOnOneOfWinesAdaptersBringsItsMacIntoTheFingerprint)
{
    const std::vector<Adapter> adapters = listAdapters();
    const Adapter* usable = nullptr;
    for (const Adapter& a : adapters) {
        if (!a.hasZeroByte()) {
            usable = &a;
            break;
        }
    }
    if (usable == nullptr) GTEST_SKIP() << "Wine lists no adapter whose address has no zero byte";

    uint8_t mac[6] = {};
    ASSERT_FALSE(selectPhysicalMac(mac)) << "no adapter is physical before the test marks one";
    const std::string withoutMac = computed();
    EXPECT_EQ(withoutMac, digestWith(nullptr));

    {
        ConnectionKeys keys;
        keys.setText(usable->name, kPciInstance);
        EXPECT_TRUE(isPhysicalAdapter(usable->name.c_str()));
        uint8_t chosen[6] = {};
        ASSERT_TRUE(selectPhysicalMac(chosen));
        EXPECT_EQ(std::memcmp(chosen, usable->address.data(), 6), 0);
        const std::string withMac = computed();
        EXPECT_EQ(withMac, digestWith(usable->address.data()));
        EXPECT_NE(withMac, withoutMac);
        EXPECT_EQ(deriveDeviceId(), std::wstring(withMac.begin(), withMac.end()));
    }
    EXPECT_EQ(computed(), withoutMac);
}

TEST(PhysicalAdapterSerial, OnlyAdapterWithAZeroByteLeavesTheMacBytesZero)
{
    const Adapter* zeroed = nullptr;
    const std::vector<Adapter> adapters = listAdapters();
    for (const Adapter& a : adapters) {
        if (a.hasZeroByte()) {
            zeroed = &a;
            break;
        }
    }
    if (zeroed == nullptr) GTEST_SKIP() << "Wine lists no adapter whose address has a zero byte";
    ConnectionKeys keys;
    keys.setText(zeroed->name, kPciInstance);
    uint8_t mac[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_FALSE(selectPhysicalMac(mac));
    for (uint8_t b : mac) EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(computed(), digestWith(nullptr));
}

TEST(PhysicalAdapterSerial, InstanceIdDecidesWhetherAnAdapterIsPhysical)
{
    ConnectionKeys keys;
    const std::wstring base = L"{7A11E5C0-0000-4000-8000-00000000000";
    struct Case {
        std::wstring value;
        DWORD type;
        bool physical;
    } cases[] = {
        {kPciInstance, REG_SZ, true},
        {L"PCI", REG_SZ, true},
        {kPciInstance, REG_BINARY, true},  // the type is not looked at
        {L"pci\\VEN_8086&DEV_100E", REG_SZ, false},
        {L"ROOT\\NET\\0000", REG_SZ, false},
        {L"USB\\VID_0B95&PID_1790\\1", REG_SZ, false},
        {L"PC", REG_SZ, false},
        {L"PCI\\" + std::wstring(125, L'x'), REG_SZ, false},  // 260 bytes with the NUL: more than is read
        {L"PCI\\" + std::wstring(123, L'x'), REG_SZ, true},   // 256 bytes: exactly the room
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::wstring name = base + std::to_wstring(n++) + L"}";
        keys.setText(name, c.value, c.type);
        EXPECT_EQ(isPhysicalAdapter(name.c_str()), c.physical) << std::string(c.value.begin(), c.value.end());
    }
    EXPECT_FALSE(isPhysicalAdapter(L"{7A11E5C0-0000-4000-8000-0000000000FF}"));  // no key at all
    EXPECT_FALSE(isPhysicalAdapter(nullptr));
}

TEST(PhysicalAdapterSerial, NamesLongerThan164CharactersAreNeverPhysical)
{
    ConnectionKeys keys;
    const std::wstring longest(164, L'a');
    const std::wstring tooLong(165, L'b');
    keys.setText(longest, kPciInstance);
    keys.setText(tooLong, kPciInstance);
    EXPECT_TRUE(isPhysicalAdapter(longest.c_str()));
    EXPECT_FALSE(isPhysicalAdapter(tooLong.c_str()));
}

}  // namespace
