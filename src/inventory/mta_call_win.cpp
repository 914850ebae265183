#include "inventory/mta_call.h"

#include "win_handles.h"

#include <windows.h>

#include <new>

namespace {

DWORD WINAPI runOnHelperThread(void* parameter)
{
    auto* share = static_cast<std::shared_ptr<MtaCall>*>(parameter);
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&runOnHelperThread), &self);
    {
        win::ComScope com(COINIT_MULTITHREADED);
        if (com.ok()) (*share)->run();
        delete share;  // inside the apartment: the call may hold interface pointers
    }
    // Drops the reference the starter took for this thread.
    FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

bool runMtaCallWithin(const std::shared_ptr<MtaCall>& call, uint32_t timeoutMs)
{
    if (!call) return false;
    auto* share = new (std::nothrow) std::shared_ptr<MtaCall>(call);
    if (share == nullptr) return false;

    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&runOnHelperThread),
                            &pinned)) {
        delete share;
        return false;
    }
    win::UniqueHandle thread(CreateThread(nullptr, 0, runOnHelperThread, share, 0, nullptr));
    if (!thread) {
        FreeLibrary(pinned);
        delete share;
        return false;
    }
    return WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0;
}
