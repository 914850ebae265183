// The host build has no machine to inventory: the record keeps whatever the caller put there.
#include "inventory/machine_inventory.h"

int fillMachineInventory(MachineInventory&) { return 0; }
