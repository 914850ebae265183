#include "inventory/machine_inventory.h"

MachineInventory& machineInventory()
{
    static MachineInventory inventory{};
    return inventory;
}
