/* Links against the import library: the loader resolves the three exports by name at start-up. */
#include <stdio.h>

#include "tallyscope.h"

int main(void)
{
    int ok = SetAppInfo("consumer-key", NULL);
    StopTallyscope();
    printf("consumer: SetAppInfo -> %d\n", ok);
    return ok == 1 ? 0 : 1;
}
