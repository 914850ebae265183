/* TallyScope usage statistics for Windows desktop applications.
 *
 * Link against tallyscope64.lib, or load tallyscope64.dll and look the three functions up by name.
 * Any number of threads may call them at once; a stop, a start and a device-information report
 * block their caller while they run, never the other threads' reports:
 *
 *   SetAppInfo("my-app-key", "my-channel");        once, at start-up
 *   ReportAppEvent("app_start", NULL, 1);          whenever something worth counting happens
 *   ReportAppEvent("click_export", "pdf", 0);
 *   StopTallyscope();                              before shutdown: posts what is still queued
 *
 * Every function returns 1 on success and 0 on failure. Keys, channels, event names and contents
 * are NUL-terminated 8-bit texts of at most 63 characters.
 */
#ifndef TALLYSCOPE_H
#define TALLYSCOPE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(TALLYSCOPE_BUILDING_DLL)
#define TALLYSCOPE_API __declspec(dllimport)
#else
#define TALLYSCOPE_API
#endif

#ifdef _WIN32
#define TALLYSCOPE_CALL __stdcall
#else
#define TALLYSCOPE_CALL
#endif

/* Registers the application key and distribution channel (channelId may be NULL) and starts the
 * service: the upload thread, its 3-second timer and the device identifier. */
TALLYSCOPE_API unsigned char TALLYSCOPE_CALL SetAppInfo(const char* appKey, const char* channelId);

/* Queues one report. Names starting with "app_device_info" send the machine inventory, other
 * "app_" names an application event, every other name an action with eventContent as its content.
 * A non-zero flushNow wakes the upload thread at once instead of at the next tick. */
TALLYSCOPE_API unsigned char TALLYSCOPE_CALL ReportAppEvent(const char* eventName, const char* eventContent,
                                                            int flushNow);

/* Posts everything still queued, stops the upload thread and returns. */
TALLYSCOPE_API void TALLYSCOPE_CALL StopTallyscope(void);

/* Function-pointer types for hosts that load the DLL at run time. */
typedef unsigned char(TALLYSCOPE_CALL* TallySetAppInfoFn)(const char*, const char*);
typedef unsigned char(TALLYSCOPE_CALL* TallyReportAppEventFn)(const char*, const char*, int);
typedef void(TALLYSCOPE_CALL* TallyStopTallyscopeFn)(void);

#ifdef __cplusplus
}
#endif

#endif
