#include "common/diagnostics.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/line_writer.h"

namespace diag {

void postData(const char* body)
{
    try {
        if (lines::hand(std::string("POST DATA: ") + body + "\n")) return;
    } catch (...) {
        return;  // no memory for the line: it is dropped, never the post
    }
    std::printf("POST DATA: %s\n", body);
    std::fflush(stdout);
}

void responseContent(const char* text)
{
    try {
        if (lines::hand(std::string("httpResponseContent:\n") + text + "\n")) return;
    } catch (...) {
        return;
    }
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
