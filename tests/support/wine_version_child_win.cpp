#include "support/wine_version_child_win.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace wine_child {

namespace {

constexpr char kFindingsVariable[] = "TALLYSCOPE_CHILD_FINDINGS";

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class AppDefaultsVersion {
public:
    AppDefaultsVersion(const std::wstring& exeName, const char* version)
        : key_(L"Software\\Wine\\AppDefaults\\" + exeName)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            std::wstring value = widen(version);
            ok_ = RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    ~AppDefaultsVersion() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::wstring key_;
    bool ok_ = false;
};

}  // namespace

Findings runTestUnderWineVersion(const char* version, const char* gtestFilter)
{
    Findings findings;
    wchar_t self[MAX_PATH];
    wchar_t temp[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0 || GetTempPathW(MAX_PATH, temp) == 0) {
        findings["error"] = "no paths";
        return findings;
    }
    static LONG counter = 0;
    const std::wstring stem = L"ts_version_child_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&counter));
    const std::wstring exeName = stem + L".exe";
    const std::wstring exePath = std::wstring(temp) + exeName;
    const std::wstring findingsPath = std::wstring(temp) + stem + L".txt";

    if (!CopyFileW(self, exePath.c_str(), FALSE)) {
        findings["error"] = "copy failed";
        return findings;
    }
    {
        AppDefaultsVersion override(exeName, version);
        if (!override.ok()) {
            findings["error"] = "version override not written";
        } else {
            std::string narrowPath(findingsPath.begin(), findingsPath.end());
            SetEnvironmentVariableA(kFindingsVariable, narrowPath.c_str());
            std::wstring commandLine = L"\"" + exePath + L"\" --gtest_filter=" + widen(gtestFilter);
            // The child's own test output would only be noise in the parent's.
            SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
            HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
            PROCESS_INFORMATION process = {};
            const BOOL started = CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                                nullptr, &startup, &process);
            if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
            if (started) {
                WaitForSingleObject(process.hProcess, 60000);
                DWORD code = 1;
                GetExitCodeProcess(process.hProcess, &code);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
                findings["exit"] = std::to_string(code);
            } else {
                findings["error"] = "child not started";
            }
            SetEnvironmentVariableA(kFindingsVariable, nullptr);
        }
    }
    std::ifstream in(std::string(findingsPath.begin(), findingsPath.end()));
    std::string line;
    while (std::getline(in, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos) findings[line.substr(0, equals)] = line.substr(equals + 1);
    }
    in.close();
    DeleteFileW(findingsPath.c_str());
    DeleteFileW(exePath.c_str());
    return findings;
}

const char* childFindingsPath() { return std::getenv(kFindingsVariable); }

void note(const std::string& key, const std::string& value)
{
    const char* path = childFindingsPath();
    if (path == nullptr) return;
    std::ofstream out(path, std::ios::app);
    out << key << '=' << value << '\n';
}

}  // namespace wine_child
