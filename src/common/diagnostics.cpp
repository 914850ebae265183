#include "common/diagnostics.h"

#include <cstdio>
#include <cwchar>

namespace diag {

void postData(const char* body)
{
    std::printf("POST DATA: %s\n", body);
    std::fflush(stdout);
}

void responseContent(const char* text)
{
    std::printf("httpResponseContent:\n%s\n", text);
    std::fflush(stdout);
}

void inventoryValue(const wchar_t* property, const wchar_t* value)
{
    std::wprintf(L"%ls: %ls\n", property, value);
    std::fflush(stdout);
}

void note(const char* line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void failure(const char* line)
{
    std::fputs(line, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace diag
