// A host that sends device-information reports through the TallyScope DLL, then prints what WMI
// itself answers for the same classes, read here without the library's code.
//   device_info_host.exe [sta] REPORTS
// "sta" makes the calling thread join a single-threaded apartment first, as a UI thread would.
// After the reports and StopTallyscope, one line per reported value:
//   wmi: <key>=<value>      the first object's property (or "N/A" when it is null)
//   wmi: <key> empty        the class has no instance
//   cpu: <32 hexadecimal digits>
#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "inventory/md5.h"
#include "inventory/processor_signature.h"
#include "tallyscope.h"
#include "win_handles.h"

namespace {

struct Reported {
    const char* key;
    const wchar_t* query;
    const wchar_t* property;
};

const Reported kReported[] = {
    {"pcosname", L"SELECT * FROM Win32_OperatingSystem", L"Caption"},
    {"mac", L"SELECT * FROM Win32_NetworkAdapter WHERE (NOT (PNPDeviceID LIKE 'ROOT%')) AND (NOT (PNPDeviceID LIKE 'USB%'))",
     L"MACAddress"},
    {"pcosversion", L"SELECT * FROM Win32_OperatingSystem", L"Version"},
    {"pcname", L"SELECT * FROM Win32_OperatingSystem", L"CSName"},
    {"pcusername", L"SELECT * FROM Win32_Environment", L"UserName"},
    {"windowssid", L"SELECT * FROM Win32_Account", L"SID"},
    {"harddiskid", L"SELECT * FROM Win32_PhysicalMedia", L"SerialNumber"},
    {"mainboardcode", L"SELECT * FROM Win32_BaseBoard", L"SerialNumber"},
};

int sendReports(int reports)
{
    HMODULE library = LoadLibraryA(TALLYSCOPE_DLL_NAME);
    if (library == nullptr) return 2;
    auto set = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetAppInfo")));
    auto report =
        reinterpret_cast<TallyReportAppEventFn>(reinterpret_cast<void*>(GetProcAddress(library, "ReportAppEvent")));
    auto stop = reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(library, "StopTallyscope")));
    if (set == nullptr || report == nullptr || stop == nullptr || !set("inventory-key", "inventory-channel")) return 3;
    for (int i = 0; i < reports; ++i) {
        if (!report("app_device_info", nullptr, 1)) return 4;
    }
    stop();
    return 0;
}

void printWhatWmiAnswers()
{
    std::thread reader([] {
        win::ComScope com(COINIT_MULTITHREADED);
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                             nullptr, EOAC_NONE, nullptr);
        win::ComPtr<IWbemLocator> locator;
        win::ComPtr<IWbemServices> services;
        win::UniqueBstr wmiNamespace(L"root\\cimv2");
        if (!com.ok() ||
            FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    locator.putVoid())) ||
            FAILED(locator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          services.put()))) {
            std::printf("wmi: unavailable\n");
            return;
        }
        for (const Reported& reported : kReported) {
            win::UniqueBstr language(L"WQL");
            win::UniqueBstr query(reported.query);
            win::ComPtr<IEnumWbemClassObject> objects;
            win::ComPtr<IWbemClassObject> object;
            ULONG returned = 0;
            if (FAILED(services->ExecQuery(language.get(), query.get(), WBEM_FLAG_FORWARD_ONLY, nullptr,
                                           objects.put())) ||
                FAILED(objects->Next(WBEM_INFINITE, 1, object.put(), &returned)) || returned == 0) {
                std::printf("wmi: %s empty\n", reported.key);
                continue;
            }
            win::UniqueVariant value;
            if (FAILED(object->Get(reported.property, 0, value.get(), nullptr, nullptr)) ||
                V_VT(value.get()) != VT_BSTR) {
                std::printf("wmi: %s=N/A\n", reported.key);
                continue;
            }
            std::printf("wmi: %s=%ls\n", reported.key, V_BSTR(value.get()));
        }
    });
    reader.join();
    ProcessorSignature signature = readProcessorSignature();
    std::printf("cpu: %s\n", md5HexUpper(signature.bytes, sizeof signature.bytes).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    bool singleThreaded = argc > 1 && std::strcmp(argv[1], "sta") == 0;
    int reports = argc > (singleThreaded ? 2 : 1) ? std::atoi(argv[singleThreaded ? 2 : 1]) : 1;
    if (singleThreaded && FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 5;
    int result = sendReports(reports);
    std::fflush(stdout);
    if (singleThreaded) CoUninitialize();
    if (result == 0) printWhatWmiAnswers();
    return result;
}
