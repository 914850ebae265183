#include "inventory/machine_inventory.h"

#include "inventory/inventory_queries.h"
#include "inventory/wmi_connection.h"
#include "win_handles.h"

#include <cstdio>
#include <cwchar>
#include <new>

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

// A read handed to a helper thread. The helper works on its own copy of the fields, so a helper
// that outlives the host's wait never writes into the record the host is reading. Whichever side
// lets go last frees it.
struct HelperRead {
    LONG references = 2;
    HMODULE module = nullptr;  // keeps the code the helper runs loaded until it has ended
    MachineInventory values;
};

void releaseHelperRead(HelperRead* read)
{
    if (InterlockedDecrement(&read->references) == 0) delete read;
}

DWORD WINAPI runHelperRead(void* parameter)
{
    auto* read = static_cast<HelperRead*>(parameter);
    HMODULE module = read->module;
    try {
        WmiConnection connection;
        if (connectWmi(connection) == kWmiConnected) readInventory(connection, read->values);
    } catch (...) {
    }
    releaseHelperRead(read);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// A thread in a single-threaded apartment cannot join the multithreaded one, and host UI threads
// usually are in one. The read then runs on a short-lived thread of its own, and the host's thread
// waits for it.
void readInventoryOnHelperThread(MachineInventory& inventory)
{
    auto* read = new (std::nothrow) HelperRead;
    if (read == nullptr) {
        std::fputs("COM initialization failed\n", stderr);
        std::fflush(stderr);
        return;
    }
    read->values = inventory;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&runHelperRead),
                            &read->module))
        read->module = nullptr;

    win::UniqueHandle thread(CreateThread(nullptr, 0, runHelperRead, read, 0, nullptr));
    if (!thread) {
        if (read->module != nullptr) FreeLibrary(read->module);
        delete read;
        std::fputs("COM initialization failed\n", stderr);
        std::fflush(stderr);
        return;
    }
    if (WaitForSingleObject(thread.get(), kHelperReadWaitMs) == WAIT_OBJECT_0) {
        for (const InventoryQuery& query : kInventoryQueries)
            std::wmemcpy(inventory.*query.field, read->values.*query.field, kInventoryFieldUnits);
    }
    releaseHelperRead(read);
}

}  // namespace

int fillMachineInventory()
{
    MachineInventory& inventory = machineInventory();
    try {
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
