// The identifier kept for the reports and its registry record, on the real registry under Wine.
// The record is shared by every process of the Wine prefix, so the suite runs alone.
#include "inventory/fingerprint.h"
#include "report/ansi_text.h"
#include "report/device_identity.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kKey[] = L"SOFTWARE\\TallyScope\\";

struct RecordedValue {
    bool present = false;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

RecordedValue readRecord()
{
    RecordedValue value;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, L"DeviceId", nullptr, &value.type, nullptr, &bytes) == ERROR_SUCCESS) {
        value.data.resize(bytes);
        value.present = RegQueryValueExW(key, L"DeviceId", nullptr, &value.type, value.data.data(), &bytes) == ERROR_SUCCESS;
        value.data.resize(bytes);
    }
    RegCloseKey(key);
    return value;
}

void writeRecord(DWORD type, const void* data, DWORD bytes)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, L"DeviceId", 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    RegCloseKey(key);
}

void deleteRecord()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, L"DeviceId");
    RegCloseKey(key);
}

std::vector<uint8_t> utf16WithOneNul(const std::wstring& text)
{
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(bytes.data(), text.c_str(), text.size() * sizeof(wchar_t));
    return bytes;
}

// Puts back whatever record was there before the test.
struct DeviceIdentitySerial : ::testing::Test {
    RecordedValue saved;
    DeviceIdentity identity;
    void SetUp() override { saved = readRecord(); }
    void TearDown() override
    {
        deleteRecord();
        if (saved.present) writeRecord(saved.type, saved.data.data(), static_cast<DWORD>(saved.data.size()));
    }
};

TEST_F(DeviceIdentitySerial, DerivedIdentifierIs32UpperCaseHexUnitsAndStable)
{
    const std::wstring id = deriveDeviceId();
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);
    EXPECT_EQ(deriveDeviceId(), id);
}

TEST_F(DeviceIdentitySerial, InitFillsBothFormsAndOverwritesEarlierContent)
{
    std::wmemset(identity.wide, L'Z', kDeviceIdWideUnits);
    std::memset(identity.ansi, 'Z', kDeviceIdAnsiBytes);

    initDeviceId(identity);
    const std::wstring id = deriveDeviceId();
    EXPECT_EQ(std::wstring(identity.wide), id);
    for (size_t i = id.size(); i < kDeviceIdWideUnits; ++i) ASSERT_EQ(identity.wide[i], 0) << i;
    EXPECT_EQ(std::string(identity.ansi), std::string(id.begin(), id.end()));
    EXPECT_EQ(identity.ansi[32], 0);
}

TEST_F(DeviceIdentitySerial, FailedAnsiConversionLeavesTheFieldEmptyNotStale)
{
    // The conversion initDeviceId uses: a text that does not fit fails it, and nothing of the
    // field's earlier content survives.
    char field[kDeviceIdAnsiBytes];
    std::memset(field, 'Z', sizeof field);
    toAnsi(std::wstring(40, L'A').c_str(), field, sizeof field);
    for (char c : field) ASSERT_EQ(c, 0);
    toAnsi(L"0123456789ABCDEF0123456789ABCDEF", field, sizeof field);
    EXPECT_STREQ(field, "0123456789ABCDEF0123456789ABCDEF");
}

TEST_F(DeviceIdentitySerial, FirstStartRecordsMultiSzOf66Bytes)
{
    deleteRecord();
    EXPECT_FALSE(deviceIdPresent());
    initDeviceId(identity);
    RecordedValue record = readRecord();
    ASSERT_TRUE(record.present);
    EXPECT_EQ(record.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(record.data.size(), 66u);
    EXPECT_EQ(record.data, utf16WithOneNul(identity.wide));
    EXPECT_TRUE(deviceIdPresent());
}

TEST_F(DeviceIdentitySerial, ReadableValueOfAnyTypeUpTo66BytesIsKept)
{
    const DWORD number = 12345;
    writeRecord(REG_DWORD, &number, sizeof number);
    EXPECT_TRUE(deviceIdPresent());
    initDeviceId(identity);
    RecordedValue record = readRecord();
    EXPECT_EQ(record.type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(record.data.size(), sizeof number);

    // An identifier from other hardware, exactly 66 bytes: kept, while reports carry today's.
    const std::vector<uint8_t> old = utf16WithOneNul(L"00112233445566778899AABBCCDDEEFF");
    writeRecord(REG_MULTI_SZ, old.data(), static_cast<DWORD>(old.size()));
    initDeviceId(identity);
    EXPECT_EQ(readRecord().data, old);
    EXPECT_EQ(std::wstring(identity.wide), deriveDeviceId());
}

TEST_F(DeviceIdentitySerial, ValueLargerThan66BytesIsReplaced)
{
    const std::vector<uint8_t> large = utf16WithOneNul(L"00112233445566778899AABBCCDDEEFF0");
    ASSERT_EQ(large.size(), 68u);
    writeRecord(REG_SZ, large.data(), static_cast<DWORD>(large.size()));
    EXPECT_FALSE(deviceIdPresent());
    initDeviceId(identity);
    RecordedValue record = readRecord();
    EXPECT_EQ(record.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(record.data, utf16WithOneNul(identity.wide));
}

TEST_F(DeviceIdentitySerial, FallbackTextIsStoredAs26Bytes)
{
    ASSERT_EQ(storeDeviceId(L"Unknown PCID"), 0);
    RecordedValue record = readRecord();
    EXPECT_EQ(record.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(record.data.size(), 26u);
    EXPECT_EQ(storeDeviceId(nullptr), -1);
}

}  // namespace
