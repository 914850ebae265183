/* A host built from the SDK archive alone: it registers under the key it was compiled with
 * (SDK_HOST_KEY), reports an application start and stops, which posts it. With an MSVC-style
 * toolchain and no Windows SDK or C runtime at hand (clang-cl and lld-link on Linux), it is its
 * own entry point and leaves through ExitProcess. */
#include <stddef.h>

#include "tallyscope.h"

#ifndef SDK_HOST_KEY
#define SDK_HOST_KEY "sdk-host"
#endif

static int report(void)
{
    int ok = SetAppInfo(SDK_HOST_KEY, "sdk") == 1;
    ok = ReportAppEvent("app_start", NULL, 1) == 1 && ok;
    StopTallyscope();
    return ok ? 0 : 1;
}

#ifdef _MSC_VER
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

void mainCRTStartup(void)
{
    ExitProcess((unsigned int)report());
}
#else
int main(void)
{
    return report();
}
#endif
