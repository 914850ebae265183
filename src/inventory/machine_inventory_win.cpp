// Placeholder until the WMI inventory lands: the record keeps its zero fill.
#include "inventory/machine_inventory.h"

int fillMachineInventory() { return 0; }
