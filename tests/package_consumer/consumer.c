/* Links against the import library: the loader resolves the three exports by name at start-up. */
#include <stdio.h>

#include "tallyscope.h"

int main(void)
{
    int ok = SetAppInfo("consumer-key", NULL);
    /* Names of four characters or fewer are ignored: the call returns 0 and queues nothing. */
    int ignored = ReportAppEvent("tiny", NULL, 0);
    StopTallyscope();
    printf("consumer: %d-bit host, SetAppInfo -> %d, ReportAppEvent -> %d\n", (int)(sizeof(void*) * 8), ok, ignored);
    return ok == 1 && ignored == 0 ? 0 : 1;
}
