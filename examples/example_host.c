/* A minimal host: loads the TallyScope DLL at run time, registers itself, reports an application
 * start (flushed at once), an action with content and the machine's description, and stops, which posts what is queued. */
#include <windows.h>
#include <stdio.h>

#include "tallyscope.h"

int main(int argc, char** argv)
{
    const char* appKey = argc > 1 ? argv[1] : "demo-app-key";
    const char* channel = argc > 2 ? argv[2] : "demo-channel";

    HMODULE library = LoadLibraryA(TALLYSCOPE_DLL_NAME);
    if (library == NULL) {
        fprintf(stderr, "example: cannot load %s (error %lu)\n", TALLYSCOPE_DLL_NAME, GetLastError());
        return 1;
    }
    TallySetAppInfoFn setAppInfo = (TallySetAppInfoFn)(void*)GetProcAddress(library, "SetAppInfo");
    TallyReportAppEventFn reportAppEvent = (TallyReportAppEventFn)(void*)GetProcAddress(library, "ReportAppEvent");
    TallyStopTallyscopeFn stopTallyscope = (TallyStopTallyscopeFn)(void*)GetProcAddress(library, "StopTallyscope");
    if (setAppInfo == NULL || reportAppEvent == NULL || stopTallyscope == NULL) {
        fprintf(stderr, "example: %s lacks an export\n", TALLYSCOPE_DLL_NAME);
        FreeLibrary(library);
        return 1;
    }

    printf("example: SetAppInfo(\"%s\", \"%s\") -> %d\n", appKey, channel, setAppInfo(appKey, channel));
    printf("example: ReportAppEvent(\"app_start\", NULL, flush) -> %d\n", reportAppEvent("app_start", NULL, 1));
    printf("example: ReportAppEvent(\"export_pdf\", \"2 pages\", no flush) -> %d\n",
           reportAppEvent("export_pdf", "2 pages", 0));
    printf("example: ReportAppEvent(\"app_device_info\", NULL, no flush) -> %d\n",
           reportAppEvent("app_device_info", NULL, 0));
    fflush(stdout);
    stopTallyscope();
    printf("example: StopTallyscope returned\n");
    FreeLibrary(library);
    return 0;
}
