#include "inventory/mta_call.h"

#include "win_handles.h"

#include <windows.h>

#include <memory>
#include <new>

namespace {

DWORD WINAPI runOnHelperThread(void* parameter)
{
    std::unique_ptr<std::shared_ptr<MtaCall>> share(static_cast<std::shared_ptr<MtaCall>*>(parameter));
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&runOnHelperThread), &self);
    {
        win::ComScope com(COINIT_MULTITHREADED);
        if (com.ok()) (*share)->run();
        share.reset();  // inside the apartment: the call may hold interface pointers
    }
    // Drops the reference the starter took for this thread.
    FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

bool runMtaCallWithin(const std::shared_ptr<MtaCall>& call, uint32_t timeoutMs)
{
    if (!call) return false;
    std::unique_ptr<std::shared_ptr<MtaCall>> share(new (std::nothrow) std::shared_ptr<MtaCall>(call));
    if (!share) return false;

    win::ModuleReference pin;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&runOnHelperThread),
                            pin.put())) {
        return false;
    }
    win::UniqueHandle thread(CreateThread(nullptr, 0, runOnHelperThread, share.get(), 0, nullptr));
    if (!thread) return false;
    // The helper owns both from here: it drops its share of the call and the module reference.
    share.release();
    pin.release();
    return WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0;
}
