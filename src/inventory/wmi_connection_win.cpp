#include "inventory/wmi_connection.h"

#include "common/diagnostics.h"
#include "inventory/com_outcomes.h"

#include <wbemidl.h>

#include <cwchar>

namespace {

static_assert(kComChangedMode == RPC_E_CHANGED_MODE && kComTooLate == RPC_E_TOO_LATE);

const wchar_t kNotAvailable[] = L"N/A";

// wsprintfW writes at most 1024 units and a terminator, so no class name or filter can overrun it.
constexpr int kQueryUnits = 1025;

}  // namespace

void WmiConnection::closeWmi()
{
    wmiServices.reset();
    wmiLocator.reset();
    if (comInitialized) {
        CoUninitialize();
        comInitialized = false;
    }
}

int connectWmi(WmiConnection& connection)
{
    if (connection.wmiLocator || connection.wmiServices) return kWmiFailed;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComJoin join = classifyComJoin(hr);
    if (join == ComJoin::WrongApartment) return kWmiWrongApartment;
    if (join == ComJoin::Failed) {
        diag::failure("COM initialization failed");
        return kWmiFailed;
    }
    connection.comInitialized = true;

    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    if (!comSecurityInForce(hr)) {
        diag::failure("Security initialization failed");
        return kWmiFailed;
    }

    hr = CoCreateInstance(CLSID_WbemAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          connection.wmiLocator.putVoid());
    if (FAILED(hr) || !connection.wmiLocator) {
        diag::failure("Instantiation of IWbemLocator failed");
        connection.closeWmi();
        return kWmiFailed;
    }

    win::UniqueBstr wmiNamespace(L"root\\cimv2");
    hr = wmiNamespace ? connection.wmiLocator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr,
                                                             WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr,
                                                             connection.wmiServices.put())
                      : E_OUTOFMEMORY;
    if (FAILED(hr) || !connection.wmiServices) {
        diag::failure("Couldn't connect to service");
        connection.closeWmi();
        return kWmiFailed;
    }
    return kWmiConnected;
}

int queryFirstProperty(IWbemServices* services, const wchar_t* className, const wchar_t* propertyName,
                       InventoryField& field, const wchar_t* filter)
{
    if (services == nullptr || className == nullptr || propertyName == nullptr) return 0;

    wchar_t query[kQueryUnits];
    if (filter != nullptr)
        wsprintfW(query, L"SELECT * FROM %s %s", className, filter);
    else
        wsprintfW(query, L"SELECT * FROM %s", className);

    win::UniqueBstr language(L"WQL");
    win::UniqueBstr queryText(query);
    if (!language || !queryText) return 0;

    win::ComPtr<IEnumWbemClassObject> objects;
    HRESULT hr = services->ExecQuery(language.get(), queryText.get(),
                                     WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, objects.put());
    if (FAILED(hr) || !objects) return 0;

    win::ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    hr = objects->Next(kWmiNextTimeoutMs, 1, object.put(), &returned);
    if (FAILED(hr)) {
        storeInventoryValue(field, kNotAvailable);
        return -1;
    }
    if (returned == 0 || !object) {
        diag::note("Enumeration empty");
        return 0;
    }

    win::UniqueVariant value;
    hr = object->Get(propertyName, 0, value.get(), nullptr, nullptr);
    if (FAILED(hr) || V_VT(value.get()) == VT_NULL) {
        storeInventoryValue(field, kNotAvailable);
        diag::failure("IWbemClassObject::Get failed");
        return -1;
    }

    win::UniqueVariant converted;
    VARIANT* text = value.get();
    if (V_VT(text) != VT_BSTR) {
        // Arrays, objects and the like have no text form; they must cost the value, not the host.
        if (FAILED(VariantChangeType(converted.get(), value.get(), 0, VT_BSTR))) {
            storeInventoryValue(field, kNotAvailable);
            return -1;
        }
        text = converted.get();
    }
    storeInventoryValue(field, V_BSTR(text));
    diag::inventoryValue(propertyName, field);
    return 0;
}
