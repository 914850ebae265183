#include "inventory/adapter_selection.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>

namespace {

using Address = std::array<uint8_t, 6>;

// Offers the addresses in listing order; returns whether one was taken, and which.
bool choose(std::initializer_list<Address> listed, Address& out)
{
    AdapterAddressChoice choice;
    for (const Address& a : listed) choice.offer(a.data());
    return choice.take(out.data());
}

TEST(AdapterChoice, AnyGreaterBytePositionReplacesTheChoiceSoListingOrderDecides)
{
    const Address a = {0x10, 0x01, 0x01, 0x01, 0x01, 0x01};
    const Address b = {0x0F, 0xFF, 0x01, 0x01, 0x01, 0x01};
    Address out{};
    ASSERT_TRUE(choose({a, b}, out));
    EXPECT_EQ(out, b);  // byte 1: FFh > 01h
    ASSERT_TRUE(choose({b, a}, out));
    EXPECT_EQ(out, a);  // byte 0: 10h > 0Fh
}

TEST(AdapterChoice, ChosenAddressWithAZeroByteIsNotTakenButStillCompetes)
{
    const Address zeroed = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const Address untouched = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    Address out = untouched;
    EXPECT_FALSE(choose({zeroed}, out));
    EXPECT_EQ(out, untouched);

    // Listed after the zeroed one, an address with no greater byte anywhere cannot replace it.
    EXPECT_FALSE(choose({zeroed, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5D}}, out));
    EXPECT_EQ(out, untouched);
    // One with a greater byte does, and is taken.
    ASSERT_TRUE(choose({zeroed, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01}}, out));
    EXPECT_EQ(out, (Address{0x01, 0x01, 0x01, 0x01, 0x01, 0x01}));
    // A zero byte at the end counts as much as one at the start.
    EXPECT_FALSE(choose({{0x02, 0xFC, 0x01, 0x01, 0x01, 0x00}}, out));
}

TEST(AdapterChoice, NoAdaptersGiveNoAddress)
{
    Address out = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(choose({}, out));
    EXPECT_EQ(out, (Address{1, 2, 3, 4, 5, 6}));
}

TEST(AdapterChoice, OnlyInstanceIdsStartingWithCapitalPciArePhysical)
{
    EXPECT_TRUE(isPciInstanceId(L"PCI\\VEN_8086&DEV_15BB&SUBSYS_00000000&REV_10\\3&11583659&0&FE"));
    EXPECT_TRUE(isPciInstanceId(L"PCI"));
    EXPECT_FALSE(isPciInstanceId(L"pci\\VEN_8086"));
    EXPECT_FALSE(isPciInstanceId(L"Pci\\VEN_8086"));
    EXPECT_FALSE(isPciInstanceId(L"ROOT\\NET\\0000"));
    EXPECT_FALSE(isPciInstanceId(L"USB\\VID_0B95&PID_1790\\1"));
    EXPECT_FALSE(isPciInstanceId(L"PC"));
    EXPECT_FALSE(isPciInstanceId(L""));
    EXPECT_FALSE(isPciInstanceId(nullptr));
}

}  // namespace
