#include "inventory/machine_inventory.h"

#include "common/diagnostics.h"
#include "inventory/inventory_queries.h"
#include "inventory/mta_call.h"
#include "inventory/wmi_connection.h"
#include "inventory/wmi_lock.h"
#include "win_handles.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <utility>

namespace {

// A host thread in a single-threaded apartment is usually a UI thread that pumps no messages while
// it waits here: past this it gets its thread back and the report goes out with empty values, as
// such a thread's reports did before the helper existed.
constexpr DWORD kHelperReadWaitMs = 5000;

void readInventory(WmiConnection& connection, MachineInventory& inventory)
{
    for (const InventoryQuery& query : kInventoryQueries) {
        if (!connection.ready()) return;
        queryFirstProperty(connection.wmiServices.get(), query.className, query.propertyName,
                           inventory.*query.field, query.filter);
    }
}

// The read handed to a helper thread works on its own copy of the fields, so a helper that
// outlives the host's wait never writes into the record the host is reading.
class HelperRead : public MtaCall {
public:
    HelperRead(const MachineInventory& earlier, WmiTurn held) : values(earlier), turn(std::move(held)) {}

    void run() override
    {
        ran = true;
        try {
            WmiConnection connection;
            if (connectWmi(connection) == kWmiConnected) readInventory(connection, values);
        } catch (...) {
        }
    }

    MachineInventory values;
    std::atomic<bool> ran{false};
    // The helper's share of the WMI turn: a helper the host stopped waiting for keeps the next
    // read out until it has finished with WMI.
    WmiTurn turn;
};

// A thread in a single-threaded apartment cannot join the multithreaded one, and host UI threads
// usually are in one. The read then runs on a short-lived thread of its own, and the host's thread
// waits for it.
void readInventoryOnHelperThread(MachineInventory& inventory, const WmiTurn& turn)
{
    auto read = std::make_shared<HelperRead>(inventory, turn);
    if (!runMtaCallWithin(read, kHelperReadWaitMs)) {
        for (const InventoryQuery& query : kInventoryQueries) (inventory.*query.field)[0] = L'\0';
        return;
    }
    if (!read->ran) {
        diag::failure("COM initialization failed");
        return;
    }
    for (const InventoryQuery& query : kInventoryQueries)
        std::wmemcpy(inventory.*query.field, read->values.*query.field, kInventoryFieldUnits);
}

}  // namespace

int fillMachineInventory(MachineInventory& inventory)
{
    try {
        const WmiTurn turn = takeWmiTurn();
        WmiConnection connection;
        int connected = connectWmi(connection);
        try {
            computeCpuId(inventory.cpuId);
        } catch (...) {
        }
        if (connected == kWmiWrongApartment)
            readInventoryOnHelperThread(inventory, turn);
        else
            readInventory(connection, inventory);
    } catch (...) {
    }
    return 0;
}
