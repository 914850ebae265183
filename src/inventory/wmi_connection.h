// One WMI connection to root\cimv2 and the one query the inventory makes over it. Windows only.
#pragma once

#include "inventory/machine_inventory.h"
#include "win_handles.h"

#include <wbemidl.h>

// The calling thread and COM state of one read. Lives only for the duration of a fill.
struct WmiConnection {
    bool comInitialized = false;  // this read joined COM and must leave it again
    win::ComPtr<IWbemLocator> wmiLocator;
    win::ComPtr<IWbemServices> wmiServices;

    WmiConnection() = default;
    ~WmiConnection() { closeWmi(); }
    WmiConnection(const WmiConnection&) = delete;
    WmiConnection& operator=(const WmiConnection&) = delete;

    bool ready() const { return comInitialized && wmiLocator && wmiServices; }
    // Releases the connection and the locator, then leaves COM if this read joined it.
    void closeWmi();
};

constexpr int kWmiConnected = 0;
constexpr int kWmiFailed = -1;
// The calling thread belongs to a single-threaded apartment, so it cannot join the multithreaded
// one. Nothing was printed and nothing is held: the read has to run on another thread.
constexpr int kWmiWrongApartment = -2;

// Joins the multithreaded apartment, sets the process's COM security if nobody has, and connects
// to root\cimv2. Refuses (kWmiFailed, nothing touched) while the connection is still open.
int connectWmi(WmiConnection& connection);

// How long Next waits for the first object of a query.
constexpr long kWmiNextTimeoutMs = 5000;

// Reads propertyName of the first object of "SELECT * FROM className [filter]" into field.
// Returns 0 when the field was written with a value or left untouched (the query failed, or the
// class has no instance), -1 when it was set to "N/A" (no answer, no such property, a null value
// or one that has no text form).
int queryFirstProperty(IWbemServices* services, const wchar_t* className, const wchar_t* propertyName,
                       InventoryField& field, const wchar_t* filter);
