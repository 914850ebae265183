// The machine inventory that the device-information report carries.
#pragma once

#include <cstddef>

constexpr std::size_t kInventoryFieldUnits = 260;  // 259 units of a value and a terminator
constexpr std::size_t kCpuIdUnits = 33;            // 32 hexadecimal digits and a terminator

struct MachineInventory {
    wchar_t biosSerial[kInventoryFieldUnits];
    wchar_t boardSerial[kInventoryFieldUnits];
    wchar_t diskSerial[kInventoryFieldUnits];
    wchar_t macAddress[kInventoryFieldUnits];
    wchar_t userName[kInventoryFieldUnits];
    wchar_t computerName[kInventoryFieldUnits];
    wchar_t osCaption[kInventoryFieldUnits];
    wchar_t osVersion[kInventoryFieldUnits];
    wchar_t osSerial[kInventoryFieldUnits];
    wchar_t accountSid[kInventoryFieldUnits];
    wchar_t cpuId[kCpuIdUnits];
};

// Process-wide, zero-filled at load, rewritten field by field by each fill.
MachineInventory& machineInventory();

// Refreshes machineInventory() from the machine on the calling thread. Always returns 0.
int fillMachineInventory();
