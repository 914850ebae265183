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

namespace {

// Ten queries at their Next limit and a slow connection still fit; past it a stuck service gives
// the host its thread back and the fields keep their earlier values.
constexpr DWORD kHelperReadWaitMs = 60000;

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
    explicit HelperRead(const MachineInventory& earlier) : values(earlier) {}

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
};

// A thread in a single-threaded apartment cannot join the multithreaded one, and host UI threads
// usually are in one. The read then runs on a short-lived thread of its own, and the host's thread
// waits for it.
void readInventoryOnHelperThread(MachineInventory& inventory)
{
    auto read = std::make_shared<HelperRead>(inventory);
    if (!runMtaCallWithin(read, kHelperReadWaitMs)) return;
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
        std::lock_guard<std::mutex> oneReadAtATime(wmiReadLock());
        WmiConnection connection;
        int connected = connectWmi(connection);
        try {
            computeCpuId(inventory.cpuId);
        } catch (...) {
        }
        if (connected == kWmiWrongApartment)
            readInventoryOnHelperThread(inventory);
        else
            readInventory(connection, inventory);
    } catch (...) {
    }
    return 0;
}
