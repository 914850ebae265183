#include "inventory/machine_inventory.h"

#include "inventory/md5.h"
#include "support/cpuid_by_hand.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

void fillWith(InventoryField& field, wchar_t unit)
{
    for (wchar_t& u : field) u = unit;
}

TEST(InventoryValue, ValueOf300UnitsKeepsItsFirst259AndATerminator)
{
    InventoryField field;
    fillWith(field, L'#');
    std::wstring value;
    for (int i = 0; i < 300; ++i) value += static_cast<wchar_t>(L'a' + i % 26);

    storeInventoryValue(field, value.c_str());

    EXPECT_EQ(std::wstring(field), value.substr(0, 259));
    EXPECT_EQ(field[259], L'\0');
}

TEST(InventoryValue, ValueOf259UnitsIsKeptWhole)
{
    InventoryField field;
    fillWith(field, L'#');
    std::wstring value(259, L'x');

    storeInventoryValue(field, value.c_str());

    EXPECT_EQ(std::wstring(field), value);
}

TEST(InventoryValue, ShorterValueReplacesALongerEarlierOneWithoutLeftovers)
{
    InventoryField field;
    storeInventoryValue(field, std::wstring(200, L'x').c_str());

    storeInventoryValue(field, L"N/A");

    EXPECT_EQ(std::wstring(field), L"N/A");
    for (std::size_t i = 3; i < kInventoryFieldUnits; ++i) ASSERT_EQ(field[i], L'\0') << "unit " << i;
}

TEST(InventoryValue, NullValueEmptiesTheField)
{
    InventoryField field;
    storeInventoryValue(field, L"earlier");

    storeInventoryValue(field, nullptr);

    EXPECT_EQ(std::wstring(field), L"");
}

TEST(CpuId, IsTheUpperCaseMd5OfTheRegistersTheTestReadsItselfAndTerminated)
{
    CpuIdField cpuId;
    for (wchar_t& u : cpuId) u = L'#';
    const auto signature = cpuid_by_hand::signature();
    std::string expected = md5HexUpper(signature.data(), static_cast<uint32_t>(signature.size()));

    computeCpuId(cpuId);

    EXPECT_EQ(std::wstring(cpuId), std::wstring(expected.begin(), expected.end()));
    EXPECT_EQ(cpuId[32], L'\0');
}

}  // namespace
