// The machine inventory that the device-information report carries.
#pragma once

#include <cstddef>

constexpr std::size_t kInventoryFieldUnits = 260;  // 259 units of a value and a terminator
constexpr std::size_t kCpuIdUnits = 33;            // 32 hexadecimal digits and a terminator

using InventoryField = wchar_t[kInventoryFieldUnits];
using CpuIdField = wchar_t[kCpuIdUnits];

struct MachineInventory {
    InventoryField biosSerial;
    InventoryField boardSerial;
    InventoryField diskSerial;
    InventoryField macAddress;
    InventoryField userName;
    InventoryField computerName;
    InventoryField osCaption;
    InventoryField osVersion;
    InventoryField osSerial;
    InventoryField accountSid;
    CpuIdField cpuId;
};

// Process-wide, zero-filled at load, rewritten field by field by each fill.
MachineInventory& machineInventory();

// Refreshes inventory from the machine on the calling thread. Always returns 0; a value that
// cannot be read keeps its earlier contents or becomes "N/A".
int fillMachineInventory(MachineInventory& inventory);
inline int fillMachineInventory() { return fillMachineInventory(machineInventory()); }

// Stores a value read from the machine: at most 259 units and a terminator, longer values cut, the
// rest of the field zeroed. A null value empties the field.
void storeInventoryValue(InventoryField& field, const wchar_t* value);

// Writes the MD5 of the processor signature as 32 upper-case hexadecimal digits and a terminator.
// Needs nothing but the processor, so it is filled even when no other source answers.
void computeCpuId(CpuIdField& cpuId);
