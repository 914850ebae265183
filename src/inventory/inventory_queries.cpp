#include "inventory/inventory_queries.h"

// Virtual adapters (ROOT\...) and USB dongles come and go; the filter keeps the first adapter a
// built-in one whenever the machine has one.
const InventoryQuery kInventoryQueries[kInventoryQueryCount] = {
    {L"Win32_Bios", L"SerialNumber", nullptr, &MachineInventory::biosSerial},
    {L"Win32_BaseBoard", L"SerialNumber", nullptr, &MachineInventory::boardSerial},
    {L"Win32_PhysicalMedia", L"SerialNumber", nullptr, &MachineInventory::diskSerial},
    {L"Win32_NetworkAdapter", L"MACAddress",
     L"WHERE (NOT (PNPDeviceID LIKE 'ROOT%')) AND (NOT (PNPDeviceID LIKE 'USB%'))", &MachineInventory::macAddress},
    {L"Win32_Environment", L"UserName", nullptr, &MachineInventory::userName},
    {L"Win32_OperatingSystem", L"CSName", nullptr, &MachineInventory::computerName},
    {L"Win32_OperatingSystem", L"Caption", nullptr, &MachineInventory::osCaption},
    {L"Win32_OperatingSystem", L"Version", nullptr, &MachineInventory::osVersion},
    {L"Win32_OperatingSystem", L"SerialNumber", nullptr, &MachineInventory::osSerial},
    {L"Win32_Account", L"SID", nullptr, &MachineInventory::accountSid},
};
