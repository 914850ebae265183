#include "inventory/smbios_sources.h"

#include "inventory/mta_call.h"
#include "win_handles.h"

#include <windows.h>
#include <wbemidl.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

// ConnectServer has no time-out of its own; run as an MtaCall, a stuck WMI service cannot hold the
// host's SetAppInfo for longer than the source's time-out.
class ConnectCall : public MtaCall {
public:
    // The call keeps its own reference on the locator: it may outlive the caller's wait.
    ConnectCall(IWbemLocator* locator, win::UniqueBstr nameSpace)
        : locator_(locator), nameSpace_(std::move(nameSpace))
    {
        locator_->AddRef();
    }
    void run() override
    {
        result_ = locator_->ConnectServer(nameSpace_.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          services_.put());
    }
    win::ComPtr<IWbemServices> takeServices()
    {
        if (FAILED(result_)) return win::ComPtr<IWbemServices>();
        return std::move(services_);
    }

private:
    win::ComPtr<IWbemLocator> locator_;
    win::UniqueBstr nameSpace_;
    win::ComPtr<IWbemServices> services_;
    HRESULT result_ = E_FAIL;

public:
    WmiTurn turn;
};

bool connectWithin(IWbemLocator* locator, const wchar_t* nameSpace, uint32_t timeoutMs, win::ComPtr<IWbemServices>& out,
                   const WmiTurn& turn)
{
    win::UniqueBstr name(nameSpace);
    if (!name) return false;
    std::shared_ptr<ConnectCall> call(new (std::nothrow) ConnectCall(locator, std::move(name)));
    if (!call) return false;
    // A helper left behind in ConnectServer keeps the turn until it is out of WMI.
    call->turn = turn;
    if (!runMtaCallWithin(call, timeoutMs)) return false;
    out = call->takeServices();
    return static_cast<bool>(out);
}

bool copyByteArray(VARIANT& value, SmbiosRawTable& raw)
{
    if (value.vt != (VT_ARRAY | VT_UI1) || value.parray == nullptr) return false;
    SAFEARRAY* array = value.parray;
    if (SafeArrayGetDim(array) < 1 || SafeArrayGetElemsize(array) != 1) return false;
    const ULONG elements = array->rgsabound[0].cElements;

    std::unique_ptr<uint8_t[]> buffer(g_smbiosBufferAllocator(elements == 0 ? 1 : elements));
    if (!buffer) return false;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return false;
    if (elements != 0) std::memcpy(buffer.get(), data, elements);
    SafeArrayUnaccessData(array);

    raw.buffer = std::move(buffer);
    raw.offset = 0;
    raw.count = elements;
    return true;
}

bool readFirstRawTable(SmbiosRawTable& raw, const WmiTurn& turn)
{
    win::ComPtr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.putVoid()))) {
        return false;
    }

    win::ComPtr<IWbemServices> services;
    if (!connectWithin(locator.get(), L"ROOT\\WMI", kSmbiosWmiTimeoutMs, services, turn)) return false;

    if (FAILED(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE))) {
        return false;
    }

    win::UniqueBstr className(L"MSSMBios_RawSMBiosTables");
    if (!className) return false;
    win::ComPtr<IEnumWbemClassObject> instances;
    if (FAILED(services->CreateInstanceEnum(className.get(), 0, nullptr, instances.put()))) return false;

    win::ComPtr<IWbemClassObject> instance;
    ULONG returned = 0;
    // WBEM_S_TIMEDOUT is a success code: only S_OK with one object counts.
    if (instances->Next(static_cast<LONG>(kSmbiosWmiTimeoutMs), 1, instance.put(), &returned) != WBEM_S_NO_ERROR ||
        returned != 1 || !instance) {
        return false;
    }

    // Both version properties must be readable, as a sign that the instance is complete; their
    // values are not needed.
    for (const wchar_t* property : {L"SmbiosMajorVersion", L"SmbiosMinorVersion"}) {
        win::UniqueVariant value;
        if (FAILED(instance->Get(property, 0, value.put(), nullptr, nullptr))) return false;
    }

    win::UniqueVariant data;
    if (FAILED(instance->Get(L"SMBiosData", 0, data.put(), nullptr, nullptr))) return false;
    return copyByteArray(*data.get(), raw);
}

}  // namespace

bool readSmbiosFromWmi(SmbiosRawTable& raw, const WmiTurn& turn)
{
    try {
        return readFirstRawTable(raw, turn);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
