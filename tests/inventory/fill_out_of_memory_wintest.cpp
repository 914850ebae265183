// Failed allocations inside a fill. Replacing the global allocation function is the standard way to
// make new fail on demand; it behaves as the default one until a test on the same thread arms it.
#include "inventory/machine_inventory.h"
#include "win_handles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

namespace {

thread_local long t_allocations = 0;
thread_local long t_failAtAllocation = 0;  // 0: never

}  // namespace

void* operator new(std::size_t size)
{
    ++t_allocations;
    if (t_failAtAllocation != 0 && t_allocations == t_failAtAllocation) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

namespace {

// Makes allocation number 1, 2, ... of a fill on this thread throw in turn; nothing may leave the
// fill, and afterwards the thread's COM state must be as the fill found it.
void failEachAllocationInTurn(const std::function<void(long)>& checkComState)
{
    t_allocations = 0;
    fillMachineInventory();
    long total = t_allocations;
    ASSERT_GT(total, 0);
    for (long failing = 1; failing <= total; ++failing) {
        t_allocations = 0;
        t_failAtAllocation = failing;
        bool threw = false;
        try {
            fillMachineInventory();
        } catch (...) {
            threw = true;
        }
        t_failAtAllocation = 0;
        EXPECT_FALSE(threw) << "allocation " << failing << " of " << total;
        checkComState(failing);
    }
}

APTTYPE apartmentType()
{
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    EXPECT_HRESULT_SUCCEEDED(CoGetApartmentType(&type, &qualifier));
    return type;
}

TEST(MachineInventoryOutOfMemory, NoFailedAllocationLeavesAFillOnAThreadOutsideCom)
{
    std::thread([] {
        failEachAllocationInTurn([](long failing) {
            // Had the fill stayed joined, the thread could not choose another apartment now.
            HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            EXPECT_EQ(hr, S_OK) << "allocation " << failing;
            if (SUCCEEDED(hr)) CoUninitialize();
        });
    }).join();
}

TEST(MachineInventoryOutOfMemory, NoFailedAllocationLeavesAFillOnASingleThreadedHostThread)
{
    std::thread([] {
        win::ComScope com(COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(com.ok());
        failEachAllocationInTurn([](long failing) {
            APTTYPE type = apartmentType();
            EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << "allocation " << failing;
        });
    }).join();
}

TEST(MachineInventoryOutOfMemory, NoFailedAllocationLeavesAFillOnAMultithreadedHostThread)
{
    std::thread([] {
        win::ComScope com(COINIT_MULTITHREADED);
        ASSERT_TRUE(com.ok());
        failEachAllocationInTurn(
            [](long failing) { EXPECT_EQ(apartmentType(), APTTYPE_MTA) << "allocation " << failing; });
    }).join();
}

}  // namespace
