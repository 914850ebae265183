// What the inventory reads through WMI, in the order it reads it: the property of the first
// object that "SELECT * FROM <class> [filter]" returns in root\cimv2.
#pragma once

#include "inventory/machine_inventory.h"

#include <cstddef>

struct InventoryQuery {
    const wchar_t* className;
    const wchar_t* propertyName;
    const wchar_t* filter;  // appended to the query after a space, or null
    InventoryField MachineInventory::*field;
};

constexpr std::size_t kInventoryQueryCount = 10;
extern const InventoryQuery kInventoryQueries[kInventoryQueryCount];
