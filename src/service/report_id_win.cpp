#include "service/report_id.h"

#include <windows.h>

// RtlGenRandom: the system's generator, in advapi32 on every Windows the library runs on.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

bool drawSystemRandom(void* into, std::size_t size)
{
    return SystemFunction036(into, static_cast<ULONG>(size)) != FALSE;
}
