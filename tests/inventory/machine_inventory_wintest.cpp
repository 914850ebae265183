#include "inventory/inventory_queries.h"
#include "inventory/machine_inventory.h"
#include "inventory/wmi_connection.h"
#include "support/cpuid_by_hand.h"
#include "win_handles.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

void onOwnThread(const std::function<void()>& work)
{
    std::thread thread(work);
    thread.join();
}

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t u : text) out += u < 128 ? static_cast<char>(u) : '?';
    return out;
}

// What WMI itself answers for one query row, read on a thread of the test's own and without the
// library's WMI code: nullopt when the class has no instance, otherwise the text the field should
// hold ("N/A" for a null value).
std::optional<std::wstring> readThroughWmi(const wchar_t* className, const wchar_t* propertyName,
                                           const wchar_t* filter)
{
    std::optional<std::wstring> result;
    onOwnThread([&] {
        win::ComScope com(COINIT_MULTITHREADED);
        ASSERT_TRUE(com.ok());
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                             nullptr, EOAC_NONE, nullptr);
        win::ComPtr<IWbemLocator> locator;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_IWbemLocator, locator.putVoid()));
        win::UniqueBstr wmiNamespace(L"root\\cimv2");
        win::ComPtr<IWbemServices> services;
        ASSERT_HRESULT_SUCCEEDED(
            locator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put()));
        std::wstring query = std::wstring(L"SELECT * FROM ") + className;
        if (filter != nullptr) query += std::wstring(L" ") + filter;
        win::UniqueBstr language(L"WQL");
        win::UniqueBstr queryText(query.c_str());
        win::ComPtr<IEnumWbemClassObject> objects;
        ASSERT_HRESULT_SUCCEEDED(services->ExecQuery(language.get(), queryText.get(), WBEM_FLAG_FORWARD_ONLY,
                                                     nullptr, objects.put()));
        win::ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        objects->Next(WBEM_INFINITE, 1, object.put(), &returned);
        if (returned == 0) return;
        win::UniqueVariant value;
        ASSERT_HRESULT_SUCCEEDED(object->Get(propertyName, 0, value.get(), nullptr, nullptr));
        if (V_VT(value.get()) == VT_NULL) {
            result = L"N/A";
            return;
        }
        ASSERT_EQ(V_VT(value.get()), VT_BSTR);
        result = std::wstring(V_BSTR(value.get())).substr(0, kInventoryFieldUnits - 1);
    });
    return result;
}

std::optional<std::wstring> readThroughWmi(const InventoryQuery& query)
{
    return readThroughWmi(query.className, query.propertyName, query.filter);
}

void presetEveryField(const wchar_t* text)
{
    MachineInventory& inventory = machineInventory();
    for (const InventoryQuery& query : kInventoryQueries) storeInventoryValue(inventory.*query.field, text);
    std::wmemset(inventory.cpuId, 0, kCpuIdUnits);
}

std::wstring fieldOf(const InventoryQuery& query)
{
    return machineInventory().*query.field;
}

int countOf(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// Rows for which this machine's WMI has a value; a suite that compared nothing would pass on a
// broken fill.
int expectEveryFieldAsWmiReportsIt(const char* when)
{
    int valued = 0;
    for (const InventoryQuery& query : kInventoryQueries) {
        std::optional<std::wstring> expected = readThroughWmi(query);
        if (!expected) continue;
        ++valued;
        EXPECT_EQ(narrow(fieldOf(query)), narrow(*expected))
            << when << ": " << narrow(query.className) << "." << narrow(query.propertyName);
    }
    EXPECT_GT(valued, 0) << when;
    return valued;
}

TEST(MachineInventoryFill, FieldsHoldWhatWmiReportsForTheSameClasses)
{
    presetEveryField(L"earlier");

    fillMachineInventory();

    expectEveryFieldAsWmiReportsIt("first fill");
}

TEST(MachineInventoryFill, ClassWithoutInstancePrintsEnumerationEmptyAndKeepsItsField)
{
    presetEveryField(L"earlier");
    int emptyClasses = 0;
    for (const InventoryQuery& query : kInventoryQueries) emptyClasses += readThroughWmi(query) ? 0 : 1;
    if (emptyClasses == 0) GTEST_SKIP() << "every queried class has an instance on this machine";

    CaptureStdout();
    fillMachineInventory();
    std::string out = GetCapturedStdout();

    EXPECT_EQ(countOf(out, "Enumeration empty\n"), emptyClasses) << out;
    for (const InventoryQuery& query : kInventoryQueries) {
        if (readThroughWmi(query)) continue;
        EXPECT_EQ(fieldOf(query), L"earlier") << narrow(query.className);
    }
}

TEST(MachineInventoryFill, EachValueReadPrintsItsPropertyNameAndValue)
{
    CaptureStdout();
    fillMachineInventory();
    std::string out = GetCapturedStdout();

    for (const InventoryQuery& query : kInventoryQueries) {
        std::optional<std::wstring> expected = readThroughWmi(query);
        if (!expected || *expected == L"N/A") continue;
        std::string line = narrow(query.propertyName) + ": " + narrow(*expected) + "\n";
        EXPECT_NE(out.find(line), std::string::npos) << "missing line " << line << "in:\n" << out;
    }
}

// The digest by the system's own MD5 over the registers as the test reads them.
std::string systemMd5HexUpper(const uint8_t* bytes, DWORD length)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[16];
    DWORD digestBytes = sizeof digest;
    std::string text;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            if (CryptHashData(hash, bytes, length, 0) && CryptGetHashParam(hash, HP_HASHVAL, digest, &digestBytes, 0)) {
                for (DWORD i = 0; i < digestBytes; ++i) {
                    text.push_back("0123456789ABCDEF"[digest[i] >> 4]);
                    text.push_back("0123456789ABCDEF"[digest[i] & 15]);
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return text;
}

TEST(MachineInventoryFill, CpuIdIsTheMd5OfTheProcessorSignature)
{
    presetEveryField(L"");
    const auto signature = cpuid_by_hand::signature();
    std::string digits = systemMd5HexUpper(signature.data(), static_cast<DWORD>(signature.size()));
    ASSERT_EQ(digits.size(), 32u);

    fillMachineInventory();

    EXPECT_EQ(narrow(machineInventory().cpuId), digits);
}

// Wine accepts every CoInitializeSecurity call, so under it these two pin the rest of the way a
// repeated or pre-secured fill takes; the answer Windows gives them, RPC_E_TOO_LATE, is pinned in
// com_outcomes_test.
TEST(MachineInventoryFill, SecondFillInTheSameProcessStillCarriesValues)
{
    fillMachineInventory();
    presetEveryField(L"");

    CaptureStderr();
    fillMachineInventory();
    std::string err = GetCapturedStderr();

    EXPECT_EQ(err.find("Security initialization failed"), std::string::npos) << err;
    expectEveryFieldAsWmiReportsIt("second fill");
}

TEST(MachineInventoryFill, HostThatSetComSecurityItselfStillGetsValues)
{
    onOwnThread([] {
        win::ComScope com(COINIT_MULTITHREADED);
        ASSERT_TRUE(com.ok());
        ASSERT_HRESULT_SUCCEEDED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
    });
    presetEveryField(L"");

    CaptureStderr();
    fillMachineInventory();
    std::string err = GetCapturedStderr();

    EXPECT_EQ(err.find("Security initialization failed"), std::string::npos) << err;
    expectEveryFieldAsWmiReportsIt("after the host's own security");
}

TEST(MachineInventoryFill, HostThreadInASingleThreadedApartmentGetsValuesAndKeepsItsApartment)
{
    presetEveryField(L"");
    std::string err;
    onOwnThread([&] {
        win::ComScope com(COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(com.ok());
        CaptureStderr();
        fillMachineInventory();
        err = GetCapturedStderr();
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        ASSERT_HRESULT_SUCCEEDED(CoGetApartmentType(&type, &qualifier));
        // The first single-threaded apartment of a process is its main one.
        EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
    });

    EXPECT_EQ(err, "");
    expectEveryFieldAsWmiReportsIt("from a single-threaded apartment");
}

TEST(MachineInventoryFill, HostThreadInTheMultithreadedApartmentStaysInIt)
{
    presetEveryField(L"");
    onOwnThread([] {
        win::ComScope com(COINIT_MULTITHREADED);
        ASSERT_TRUE(com.ok());
        fillMachineInventory();
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        ASSERT_HRESULT_SUCCEEDED(CoGetApartmentType(&type, &qualifier));
        EXPECT_EQ(type, APTTYPE_MTA);
    });
    expectEveryFieldAsWmiReportsIt("from the multithreaded apartment");
}

TEST(MachineInventoryFill, ThreadOutsideComIsOutsideComAgainAfterTheFill)
{
    onOwnThread([] {
        fillMachineInventory();
        // Had the fill stayed joined, this thread would still be in the multithreaded apartment and
        // could not choose another one.
        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(hr, S_OK);
        if (SUCCEEDED(hr)) CoUninitialize();
    });
}

// queryFirstProperty on a connection of its own, on a thread of its own.
struct QueryResult {
    int result = 0;
    std::wstring field;
    std::string out;
    std::string err;
};

QueryResult queryOnce(const wchar_t* className, const wchar_t* propertyName, const wchar_t* filter,
                      const wchar_t* earlier = L"earlier")
{
    QueryResult r;
    onOwnThread([&] {
        WmiConnection connection;
        ASSERT_EQ(connectWmi(connection), kWmiConnected);
        InventoryField field;
        storeInventoryValue(field, earlier);
        CaptureStdout();
        CaptureStderr();
        r.result = queryFirstProperty(connection.wmiServices.get(), className, propertyName, field, filter);
        r.err = GetCapturedStderr();
        r.out = GetCapturedStdout();
        r.field = field;
    });
    return r;
}

TEST(QueryFirstProperty, NumericValueIsStoredInItsTextForm)
{
    QueryResult r = queryOnce(L"Win32_ComputerSystem", L"NumberOfProcessors", nullptr);

    EXPECT_EQ(r.result, 0);
    ASSERT_FALSE(r.field.empty());
    EXPECT_EQ(r.field.find_first_not_of(L"0123456789"), std::wstring::npos) << narrow(r.field);
    EXPECT_EQ(r.out, "NumberOfProcessors: " + narrow(r.field) + "\n");
}

TEST(QueryFirstProperty, ValueWithoutATextFormGivesNotAvailable)
{
    // An array of chassis type numbers: VariantChangeType has no string for it.
    QueryResult r = queryOnce(L"Win32_SystemEnclosure", L"ChassisTypes", nullptr);

    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.field, L"N/A");
    EXPECT_EQ(r.out, "");
}

TEST(QueryFirstProperty, UnknownPropertyGivesNotAvailableAndOneGetFailedLine)
{
    QueryResult r = queryOnce(L"Win32_OperatingSystem", L"NoSuchProperty", nullptr);

    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.field, L"N/A");
    EXPECT_EQ(r.err, "IWbemClassObject::Get failed\n");
    EXPECT_EQ(r.out, "");
}

TEST(QueryFirstProperty, NullValueGivesNotAvailableAndOneGetFailedLine)
{
    const wchar_t* className = L"Win32_NetworkAdapterConfiguration";
    std::optional<std::wstring> first = readThroughWmi(className, L"IPAddress", nullptr);
    if (!first || *first != L"N/A") GTEST_SKIP() << "the first adapter configuration has an address here";

    QueryResult r = queryOnce(className, L"IPAddress", nullptr);

    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.field, L"N/A");
    EXPECT_EQ(r.err, "IWbemClassObject::Get failed\n");
}

TEST(QueryFirstProperty, RejectedQueryLeavesTheFieldUntouchedAndSaysNothing)
{
    QueryResult r = queryOnce(L"Win32_OperatingSystem", L"Caption", L"WHERE");

    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.field, L"earlier");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(QueryFirstProperty, FilterIsAppendedToTheQuery)
{
    // Only a filter that reaches the query can make the first object a different one.
    std::optional<std::wstring> expected = readThroughWmi(L"Win32_NetworkAdapter", L"Name", L"WHERE Name = 'eth0'");
    if (!expected) GTEST_SKIP() << "no adapter called eth0 here";

    QueryResult r = queryOnce(L"Win32_NetworkAdapter", L"Name", L"WHERE Name = 'eth0'");

    EXPECT_EQ(r.field, L"eth0");
}

TEST(ConnectWmi, RefusesWhileItsConnectionIsOpen)
{
    onOwnThread([] {
        WmiConnection connection;
        ASSERT_EQ(connectWmi(connection), kWmiConnected);
        IWbemServices* first = connection.wmiServices.get();

        EXPECT_EQ(connectWmi(connection), kWmiFailed);
        EXPECT_EQ(connection.wmiServices.get(), first);
    });
}

TEST(ConnectWmi, ThreadInASingleThreadedApartmentIsToldSoSilentlyAndHoldsNothing)
{
    onOwnThread([] {
        win::ComScope com(COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(com.ok());
        WmiConnection connection;
        CaptureStderr();
        int result = connectWmi(connection);
        std::string err = GetCapturedStderr();

        EXPECT_EQ(result, kWmiWrongApartment);
        EXPECT_EQ(err, "");
        EXPECT_FALSE(connection.comInitialized);
        EXPECT_FALSE(connection.wmiLocator);
    });
}

}  // namespace
