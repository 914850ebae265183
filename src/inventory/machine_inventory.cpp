#include "inventory/machine_inventory.h"

#include "common/field_copy.h"
#include "inventory/md5.h"
#include "inventory/processor_signature.h"
#include "inventory/wmi_lock.h"

#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <string>

namespace {

std::mutex g_wmiLock;
std::condition_variable g_wmiFree;
bool g_wmiBusy = false;
int g_wmiTurnTag = 0;

}  // namespace

WmiTurn takeWmiTurn()
{
    std::unique_lock<std::mutex> guard(g_wmiLock);
    g_wmiFree.wait(guard, [] { return !g_wmiBusy; });
    g_wmiBusy = true;
    guard.unlock();
    try {
        return WmiTurn(&g_wmiTurnTag, [](void*) {
            {
                std::lock_guard<std::mutex> done(g_wmiLock);
                g_wmiBusy = false;
            }
            g_wmiFree.notify_all();
        });
    } catch (...) {
        std::lock_guard<std::mutex> done(g_wmiLock);
        g_wmiBusy = false;
        g_wmiFree.notify_all();
        throw;
    }
}

MachineInventory& machineInventory()
{
    static MachineInventory inventory{};
    return inventory;
}

void storeInventoryValue(InventoryField& field, const wchar_t* value)
{
    copyToField(field, kInventoryFieldUnits, value);
}

void computeCpuId(CpuIdField& cpuId)
{
    std::wmemset(cpuId, 0, kCpuIdUnits);
    ProcessorSignature signature = readProcessorSignature();
    std::string digits = md5HexUpper(signature.bytes, sizeof signature.bytes);
    // Hexadecimal digits are ASCII, which every ANSI code page maps to the same UTF-16 units, so
    // widening them one by one gives what a code-page conversion would.
    for (std::size_t i = 0; i < digits.size() && i + 1 < kCpuIdUnits; ++i)
        cpuId[i] = static_cast<wchar_t>(static_cast<unsigned char>(digits[i]));
}
